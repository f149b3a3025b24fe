#!/usr/bin/env bash
# Link engine figures, each beside a plain socket program doing the same work
# with the same 1 ms pause after each packet (the reference), in one run:
# CPU of an idle connected link over TCP and a pty, round trips (p50/p99)
# back to back and with a 2 ms gap, and CPU and wall time for sending 256 KiB
# of upgrade DATA packets to the module simulator; over the emulated USB bus,
# the idle link beside a plain libusb program with one bulk IN transfer
# waiting, each with the emulation's (the simulator's) CPU meanwhile, and the
# link's round trips and DATA transfer. Figures only: nothing here
# passes or fails on speed.
# Builds the optimised "ci" preset; the bench runs as the simulator's child,
# with an isolated home.
# Usage: scripts/bench-link.sh [rounds, default 1000] [idle seconds, default 10] [KiB, default 256]
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-1000}
idle=${2:-10}
kib=${3:-256}
cmake --preset ci >/dev/null
cmake --build --preset ci --target bench_link keystrand-sim >/dev/null
bin=build/ci
work=$(mktemp -d "${TMPDIR:-/tmp}/ks-bench-link.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
scripts/isolated-home.sh "$bin/sim/module/keystrand-sim" \
    --module "m serial=40F5849A model=17 address=4 tcp=0" \
    --module "u serial=0000BEEF model=17 address=4 usb" --ready-file "$work/ready" \
    -- "$PWD/$bin/tests/bench_link" --rounds "$rounds" --idle-seconds "$idle" --data-kib "$kib" \
    --sim-ready "$work/ready" --usb-serial 0000BEEF | grep -v -e '^module ' -e '^ready$'
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
