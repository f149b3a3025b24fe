#!/usr/bin/env bash
# Installs what is needed, builds the updater and shows its main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh release
exec scripts/isolated-home.sh build/release/Updater/Updater -h
