#!/usr/bin/env bash
# Benchmark of recovery through the LPC ROM bootloader: `Updater -U -t RECOVER`
# writes an image (256 KiB by default, with a valid vector checksum,
# scrambled for the chip as the server serves them) into a dead module of
# keystrand-sim, whose simulated LPC ROM paces every byte at the line rate
# (10 bits a character) and takes the data sheet's erase and programming
# times; once at 115200 baud and once at 230400. The whole recovery is timed:
# fingerprint, erase, every chunk with its on-chip compare, sector 0 last,
# and the start. The Updater runs in a private home (scripts/isolated-home.sh);
# the flash is compared with the image.
#
# Prints, per rate, the time, the bytes on the wire (commands, uuencoded
# lines, checksums, answers and echoes, as the simulated chip counted them),
# the floor for them: each byte at the line rate (echoes travel at the same
# time as the bytes they echo, so they add nothing) plus the chip's own erase
# and programming time, and the ratio floor / time. Figures only: nothing
# here passes or fails on speed.
#
# Usage: scripts/bench-recover.sh [KiB of image, default 256] [build preset, default release]
set -euo pipefail
cd "$(dirname "$0")/.."
kib=${1:-256}
preset=${2:-release}

bash scripts/build.sh "$preset" >/dev/null
bin=build/$preset
for f in "$bin/Updater/Updater" "$bin/sim/module/keystrand-sim" "$bin/sim/bird/birdwrite"; do
    [ -x "$f" ] || { echo "bench-recover: missing $f" >&2; exit 1; }
done

source scripts/lib/sim.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/ks-bench-recover.XXXXXX")
trap 'sim_stop_all; rm -rf "$work"' EXIT

uid="1234ABCD 2 3 DEADBEEF"
head -c "$((kib * 1024))" /dev/urandom > "$work/image.bin"
cat > "$work/bird.txt" <<DESC
firmware address=0x0 vector-checksum file:image.bin
firmware address=0x0 hex:00000000
descriptor build=1 version=1.0.0 serial=40F5849A model=KS-100
scramble 0x1234ABCD 2 3 0xDEADBEEF
DESC
"$bin/sim/bird/birdwrite" -o "$work/image.bird" "$work/bird.txt"

bench() {
    local rate=$1
    sim_start "$work/sim.out" "$bin/sim/module/keystrand-sim" --report \
        --module "d serial=40F5849A uid=${uid// /,} pty lpc-rom lpc-flash-out=$work/flash.bin"
    sim_wait_line "$work/sim.out" ready >/dev/null && module=$(sim_wait_line "$work/sim.out" "module d ") ||
        { echo "bench-recover: the simulator did not start" >&2; exit 1; }
    pty=$(sed -n 's/.* pty=\([^ ]*\).*/\1/p' <<< "$module")

    start=$(date +%s.%N)
    scripts/isolated-home.sh "$bin/Updater/Updater" -U -t RECOVER -s "$pty" -o "$rate" -f "$work/image.bird" \
        > "$work/updater.out" 2> "$work/updater.err" || {
        echo "bench-recover: the recovery failed" >&2; cat "$work/updater.out" "$work/updater.err" >&2; exit 1; }
    end=$(date +%s.%N)
    sim_stop_all # the simulator reports its counts as it ends

    # The image, but for word 7 (its vector checksum, set by birdwrite).
    { cmp -s -n 28 "$work/image.bin" "$work/flash.bin" &&
        cmp -s -i 32 -n "$((kib * 1024 - 32))" "$work/image.bin" "$work/flash.bin"; } ||
        { echo "bench-recover: the flash differs from the image" >&2; exit 1; }

    field() { sed -n "s/.* $1=\([0-9]*\).*/\1/p" "$work/sim.out" | head -n1; }
    bytes_in=$(field bytes-in)
    bytes_out=$(field bytes-out)
    echo_bytes=$(field echo-bytes)
    busy_us=$(field busy-us)
    update_time=$(sed -n 's/^Update time: \([0-9.]*\) sec$/\1/p' "$work/updater.out")
    awk -v kib="$kib" -v rate="$rate" -v in_="$bytes_in" -v out="$bytes_out" -v echo_="$echo_bytes" \
        -v busy="$busy_us" -v upd="$update_time" -v wall="$(awk -v a="$start" -v b="$end" 'BEGIN {print b - a}')" 'BEGIN {
        wire = (in_ + out - echo_) * 10 / rate; chip = busy / 1e6; floor = wire + chip
        printf "image: %d KiB at %d baud (flash equal to the image)\n", kib, rate
        printf "bytes on the wire: %d to the chip, %d from it (%d of them echoes)\n", in_, out, echo_
        printf "%-46s %8.2f s\n", "floor: bytes at the line rate (echoes overlap)", wire
        printf "%-46s %8.2f s\n", "floor: the chip erasing and programming", chip
        printf "%-46s %8.2f s\n", "floor", floor
        printf "%-46s %8.2f s\n", "recovery (Update time, fingerprint included)", upd
        printf "%-46s %8.2f s\n", "Updater run, process start to end", wall
        printf "ratio floor / recovery at %d baud: %.2f\n\n", rate, (upd > 0 ? floor / upd : 0)
    }'
}

for rate in 115200 230400; do
    bench "$rate"
done
