#!/usr/bin/env bash
# Benchmark of the fleet update: 16 simulated modules on TCP/IP in a private
# network namespace pair (root only), each with its own 256 KiB build in the
# store. In one bench run it times one module's update (`-U -d SERIAL`), then
# the fleet's (`-U -d S1,...,S16 -j 16`) with the Updater's CPU time, and
# prints modules, concurrency, the fleet's wall time, the single module's,
# their ratio, and the Updater's CPU per module in flight (per cent of one
# core). The goals: ratio at most 1.3, CPU at most 10 % per module; the last
# line says whether they were met (the exit status is 0 either way unless a
# run failed: the figures depend on the machine's load).
#
# Usage: scripts/bench-fleet.sh [modules, default 16] [KiB per module, default 256]
#        KS_BENCH_PRESET=dev scripts/bench-fleet.sh   (default: ci, an optimised build)
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-16}
kib=${2:-256}
preset=${KS_BENCH_PRESET:-ci}

if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null; then
    echo "bench-fleet: needs root and iproute2 for the network namespace pair" >&2
    exit 77
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target Updater keystrand-sim birdwrite >/dev/null
bin=build/$preset
work=$(mktemp -d "${TMPDIR:-/tmp}/ks-bench-fleet.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The store the Updater gets in its private home: each module's build 1000.
store=$work/store
first=$((0x4B530101))
serials=()
for ((i = 0; i < count; i++)); do
    serial=$(printf '%08X' $((first + i)))
    serials+=("$serial")
    dir=$store/$serial
    mkdir -p "$dir"
    printf 'CREATED_TIME=bench\n' > "$dir/.settings"
    head -c "$((kib * 1024))" /dev/urandom > "$work/image.bin"
    cat > "$work/bird.txt" <<DESC
loader flags=1 address=0x10000000 fill:0xA5:512
firmware flags=2 address=0x0 file:image.bin
descriptor build=1000 version=9.9.9 serial=$serial model=Tessera
DESC
    "$bin/sim/bird/birdwrite" -o "$dir/1000.bird" "$work/bird.txt"
done
list=$(IFS=,; echo "${serials[*]}")

# What runs in the host half of the namespace pair: the single update, then
# the fleet under time(1) for its CPU.
cat > "$work/runs.sh" <<'RUNS'
#!/bin/sh
updater=$1 first=$2 list=$3 jobs=$4 work=$5
mkdir -p "$HOME/.quillmar" && cp -r "$work/store" "$HOME/.quillmar/updater" || exit 1
now() { date +%s.%N; }
s=$(now)
"$updater" -U -d "$first" -b 1000 > "$work/single.out" 2>&1 || exit 1
e=$(now)
echo "single $s $e" > "$work/times"
s=$(now)
/usr/bin/time -f "cpu %U %S" -o "$work/cpu" "$updater" -U -d "$list" -b 1000 -j "$jobs" \
    > "$work/fleet.out" 2>&1 || exit 1
e=$(now)
echo "fleet $s $e" >> "$work/times"
RUNS

scripts/isolated-home.sh "$bin/sim/module/keystrand-sim" --netns \
    --modules "$count t serial=${serials[0]} model=17 tcp=0 restart-ms=100 new-version=9.9.9 new-build=1000" \
    -- /bin/sh "$work/runs.sh" "$PWD/$bin/Updater/Updater" "${serials[0]}" "$list" "$count" \
    "$work" > "$work/sim.out" 2>&1 || {
    echo "bench-fleet: a run failed:" >&2
    tail -n 40 "$work/single.out" "$work/fleet.out" "$work/sim.out" >&2 2>/dev/null || true
    exit 1
}

awk -v modules="$count" -v jobs="$count" -v kib="$kib" '
    FILENAME ~ /times$/ { t[$1] = $3 - $2 }
    FILENAME ~ /cpu$/ && $1 == "cpu" { cpu = $2 + $3 }
    END {
        ratio = t["fleet"] / t["single"]
        perModule = 100 * cpu / t["fleet"] / jobs
        printf "%-8s %-11s %-8s %-9s %-6s %-18s\n", "modules", "concurrency", "wall_s",
            "single_s", "ratio", "cpu_%core/module"
        printf "%-8d %-11d %-8.2f %-9.2f %-6.2f %-18.1f\n", modules, jobs, t["fleet"],
            t["single"], ratio, perModule
        printf "%d KiB per module; goals: ratio <= 1.3 %s, cpu <= 10 %% %s\n", kib,
            (ratio <= 1.3 ? "met" : "NOT met"), (perModule <= 10 ? "met" : "NOT met")
    }' "$work/times" "$work/cpu"
