#!/usr/bin/env bash
# Benchmark of the update command: `Updater -U -f` writes a BIRD file with a
# 256 KiB firmware image into a simulated module, over TCP/IP in a private
# network namespace pair (root only) and over the emulated USB bus. For each
# it prints the whole update's time, the firmware transfer's time (from the
# simulator's trace: first firmware DATA to REBOOT), the packets the transfer
# sent (DATA, and all of them with PREPARE, SUM and WRITE), the protocol's
# floor for them (one packet in flight and the link's 1 ms pause after each,
# that pause measured on this machine in the same run) and the ratio
# floor / transfer time.
#
# Over USB it then sets the cost of one packet beside a plain libusb program
# (tests/devicelib/bench/plain_peer.cpp: one thread, one IN transfer kept
# submitted, the same 1 ms pause after each packet) sending the same DATA
# packets, each awaited, to the same kind of simulated module in the same
# run: wall time and CPU time per packet of the product (the transfer's wall
# time over its packets; the updater's CPU beyond that of the same update with
# a 2 KiB image, over the packets beyond that one's), of the plain program,
# and their ratio; the link engine alone sending the plain program's packets is shown
# too. Figures only: nothing here passes or fails on speed.
#
# Usage: scripts/bench-update.sh [KiB of firmware image, default 256] [portion, default 256]
set -euo pipefail
cd "$(dirname "$0")/.."
kib=${1:-256}
portion=${2:-256}

cmake --preset ci >/dev/null
cmake --build --preset ci --target Updater keystrand-sim birdwrite bench_pause bench_link >/dev/null
bin=build/ci
work=$(mktemp -d "${TMPDIR:-/tmp}/ks-bench-update.XXXXXX")
trap 'rm -rf "$work"' EXIT

serial=40F5849A
# bird NAME KIB: $work/NAME.bird with a firmware image of KIB KiB. The module
# takes its new build from the descriptor inside the image.
bird() {
    head -c "$(($2 * 1024))" /dev/urandom > "$work/$1.bin"
    printf '%-16s%-16s%-16s%-16s' 1000 9.9.9 "$serial" Tessera |
        dd of="$work/$1.bin" bs=1 seek=1024 conv=notrunc status=none
    cat > "$work/$1.txt" <<DESC
loader flags=1 address=0x10000000 fill:0xA5:512
firmware flags=2 address=0x0 file:$1.bin
descriptor build=1000 version=9.9.9 serial=$serial model=Tessera
DESC
    "$bin/sim/bird/birdwrite" -o "$work/$1.bird" "$work/$1.txt"
}
bird fw "$kib"
bird small 2 # the same update with few packets: what an update costs besides them

# The pause as it lasts now; measured around each run, the shortest counts
# (a floor is the best case, and the machine's load changes during a run).
pause_us=$("$bin/tests/bench_pause" 2000)
measure_pause() {
    local p
    p=$("$bin/tests/bench_pause" 2000)
    pause_us=$(awk -v a="$pause_us" -v b="$p" 'BEGIN { print (b < a ? b : a) }')
}

# One update; the simulator's trace goes to $work/NAME.trace, and with it the
# updater's CPU time ("updater-cpu USER SYSTEM", from bash's time).
run() {
    local name=$1 module=$2 file=$work/${BIRD:-fw}.bird
    shift 2
    scripts/isolated-home.sh "$bin/sim/module/keystrand-sim" --trace "$@" \
        --module "m serial=$serial model=17 address=4 portion=$portion restart-ms=100 $module" \
        -- /bin/bash -c 'TIMEFORMAT="updater-cpu %3U %3S"; time "$@"' updater \
        "$bin/Updater/Updater" -U -d "$serial" -f "$file" \
        > "$work/$name.out" 2> "$work/$name.trace" || {
        echo "bench-update: the $name update failed:" >&2
        grep -v '^\[' "$work/$name.trace" >&2 || true
        cat "$work/$name.out" >&2
        return 1
    }
}

# Trace lines: "[SECONDS.MILLIS] m < ADDR LEN DATA..." for what the host sent.
# Prints the row of the table, or with "costs" the packets the transfer sent,
# its wall time and the updater's CPU time, in seconds.
report() {
    local name=$1 what=${2:-row}
    local total
    total=$(sed -n 's/^Update time: \([0-9.]*\) sec.*/\1/p' "$work/$name.out")
    awk -v name="$name" -v total="$total" -v pause="$pause_us" -v what="$what" '
        function t(line) { gsub(/[][]/, "", line); split(line, f, " "); return f[1] + 0 }
        /^updater-cpu / { cpu = $2 + $3 }
        / m < .. .. 5F 02/ { loaded = 1 }
        loaded && / m < .. .. 5F 0[1345]/ {
            if (!start) start = t($0)
            packets++
            if ($0 ~ / 5F 01/) data++
        }
        loaded && / m < .. .. 5F 06/ { stop = t($0) }
        END {
            transfer = stop - start
            if (what == "costs") {
                printf "%d %.6f %.3f\n", packets, transfer, cpu
                exit
            }
            floorAll = packets * pause / 1e6
            floorData = data * pause / 1e6
            printf "%-6s %9.3f %11.3f %8d %8d %10.1f %12.3f %12.3f %7.3f\n", name, total,
                transfer, data, packets, (packets > 0 ? transfer * 1e6 / packets : 0), floorData,
                floorAll, (transfer > 0 ? floorAll / transfer : 0)
        }' "$work/$name.trace"
}

# The plain libusb program and the link engine alone, each sending the image
# in DATA packets to a simulated module on the emulated bus.
run_plain() {
    scripts/isolated-home.sh "$bin/sim/module/keystrand-sim" \
        --module "u serial=0000BEEF model=17 address=4 usb" \
        -- "$PWD/$bin/tests/bench_link" --usb-data-only yes --data-kib "$kib" \
        --usb-serial 0000BEEF > "$work/plain.out" 2>&1 || {
        echo "bench-update: the plain libusb program failed:" >&2
        cat "$work/plain.out" >&2
        return 1
    }
}

# Column (2: plain program, 3: link engine) of a per-DATA-exchange row.
plain_figure() {
    awk -v row="$1" -v col="$2" 'index($0, row) == 1 {
        n = split(substr($0, 45), f, " "); print f[col - 1]; exit }' "$work/plain.out"
}

tcp=no
if [ "$(id -u)" -eq 0 ] && command -v ip >/dev/null; then
    run tcp "tcp=0" --netns && tcp=yes
    measure_pause
fi
run usb "usb"
measure_pause
BIRD=small run usb-small "usb"
run_plain

echo "firmware image $kib KiB, portion $portion bytes, link pause measured: $pause_us us"
printf "%-6s %9s %11s %8s %8s %10s %12s %12s %7s\n" transport "update_s" "transfer_s" "DATA" \
    "packets" "us/packet" "floor_DATA_s" "floor_all_s" "ratio"
if [ "$tcp" = yes ]; then
    report tcp
else
    echo "tcp    skipped: needs root and iproute2 for the network namespace pair"
fi
report usb
echo "ratio = floor_all_s / transfer_s (every packet waits for its reply, then the 1 ms pause);"
echo "the pause varies with the machine's load by a few per cent, and so does the ratio"
echo
# The product's cost per packet: the transfer's wall time over its packets;
# the CPU time the full update took beyond the small one, over the packets it
# sent beyond the small one's.
read -r packets transfer cpu < <(report usb costs)
read -r packets_small _ cpu_small < <(report usb-small costs)
read -r usb_wall usb_cpu < <(awk -v p="$packets" -v t="$transfer" -v c="$cpu" \
    -v ps="$packets_small" -v cs="$cpu_small" \
    'BEGIN { if (p > ps) printf "%.0f %.0f\n", t * 1e6 / p, (c - cs) * 1e6 / (p - ps); else print "- -" }')
plain_wall=$(plain_figure "USB: per DATA exchange: wall us" 2)
plain_cpu=$(plain_figure "USB: per DATA exchange: CPU us" 2)
link_wall=$(plain_figure "USB: per DATA exchange: wall us" 3)
link_cpu=$(plain_figure "USB: per DATA exchange: CPU us" 3)
echo "one packet over USB, the product beside a plain libusb program (same bus, same run):"
printf "%-16s %10s %10s %7s %14s\n" "per packet" "product" "plain" "ratio" "link engine"
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 > 0) printf "%.2f", a / b; else print "-" }'; }
printf "%-16s %10s %10s %7s %14s\n" "wall us" "$usb_wall" "$plain_wall" \
    "$(ratio "$usb_wall" "$plain_wall")" "$link_wall"
printf "%-16s %10s %10s %7s %14s\n" "CPU us" "$usb_cpu" "$plain_cpu" \
    "$(ratio "$usb_cpu" "$plain_cpu")" "$link_cpu"
echo "product: the update's firmware transfer over its $packets packets (wall), and the updater's"
echo "CPU beyond that of the same update with a 2 KiB image ($packets_small packets), over the packets"
echo "beyond those; plain and link engine: $kib KiB in DATA packets, each awaited;"
echo "ratio = product / plain"
