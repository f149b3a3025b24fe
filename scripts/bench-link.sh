#!/usr/bin/env bash
# Link engine figures over a TCP/IP link to a loopback echo peer: round-trip
# time (median, p99), packets per second with one in flight, idle CPU.
# Builds the optimised "ci" preset and runs the bench with an isolated home.
# Usage: scripts/bench-link.sh [rounds]   (default 1000)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset ci >/dev/null
cmake --build --preset ci --target bench_link >/dev/null
exec scripts/isolated-home.sh build/ci/tests/bench_link "${1:-1000}"
