#!/usr/bin/env bash
# Router walk figures for -D -r: a router with two children on the module
# simulator's emulated USB bus, passing each request on after FORWARD_MS
# (default 10). Prints the time of the real Updater's -D -r and of both walks
# of the updater library (overlapped, as the Updater does it, and one by one,
# every address waited for in turn, about two minutes), side by side, and
# whether both walks found the same records.
# Builds the optimised "ci" preset and runs everything with an isolated home.
# Usage: scripts/bench-discover.sh [FORWARD_MS]
set -euo pipefail
cd "$(dirname "$0")/.."
forward=${1:-10}
cmake --preset ci >/dev/null
cmake --build --preset ci --target Updater keystrand-sim bench_discover >/dev/null
exec scripts/isolated-home.sh build/ci/sim/module/keystrand-sim \
    --module "r serial=40F5849A model=21 address=2 usb forward-ms=$forward" \
    --module "c1 serial=40F50001 model=17 address=4 router=r build=11" \
    --module "c2 serial=40F50002 model=22 address=6 router=r build=12" \
    -- build/ci/tests/bench_discover build/ci/Updater/Updater 40F5849A
