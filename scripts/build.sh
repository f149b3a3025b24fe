#!/usr/bin/env bash
# Configures and builds the project into build/<preset> (default: dev).
# Usage: scripts/build.sh [dev|release|asan|tsan|ci]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-dev}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
