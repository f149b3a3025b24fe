#!/usr/bin/env bash
# Installs what is needed, builds with warnings as errors and runs the whole
# test suite. Usage: scripts/test.sh [preset] (default: ci)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-ci}
bash scripts/install-deps.sh
bash scripts/build.sh "$preset"
ctest --preset "$preset"
