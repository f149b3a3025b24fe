#!/usr/bin/env bash
# Benchmark of the download command: fetches one large build (at least
# 16 MiB of BIRD data) from the simulated update server on loopback with
# `Updater -G` (run in a private home through scripts/isolated-home.sh), and
# the same reply with curl into a file plus `base64 -d` as the baseline.
# Prints wall time and peak resident memory of each and their ratios. The
# machine may be shared, so each is run ROUNDS times (default 5), alternating,
# and the medians are compared.
# Figures only: nothing here passes or fails on speed.
#
# Usage: [ROUNDS=N] scripts/bench-download.sh [MiB of firmware image, default 17]
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-17}
rounds=${ROUNDS:-5}

bash scripts/build.sh release >/dev/null
bin=build/release
for f in "$bin/Updater/Updater" "$bin/sim/updateserver/updateserver" "$bin/sim/bird/birdwrite" /usr/bin/time; do
    [ -x "$f" ] || { echo "bench-download: missing $f" >&2; exit 1; }
done

source scripts/lib/sim.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/ks-bench.XXXXXX")
trap 'sim_stop_all; rm -rf "$work"' EXIT

serial=40F5849A
build=1000
mkdir -p "$work/content/$serial"
echo "$build" > "$work/content/$serial/latest"
echo "KSFW-BENCH" > "$work/content/$serial/firmware"
echo "9.9.9" > "$work/content/$serial/$build.version"
# Incompressible image, so that the BIRD file is as large as the image.
head -c "$((mib * 1024 * 1024))" /dev/urandom > "$work/image.bin"
cat > "$work/bird.txt" <<DESC
loader address=0x10000000 fill:0xA5:512
firmware address=0x0 file:image.bin
descriptor build=$build version=9.9.9 serial=$serial model=KS-100
level 1
DESC
"$bin/sim/bird/birdwrite" -o "$work/content/$serial/$build.bird" "$work/bird.txt"
bird_bytes=$(stat -c %s "$work/content/$serial/$build.bird")

sim_start_updateserver "$work/server.out" --root "$work/content" \
    --log "$work/requests.log" --lifetime 600 || { echo "bench-download: the server did not start" >&2; exit 1; }
url="http://127.0.0.1:$sim_port/cgi/u"
query="bld=$build&fw=KSFW-BENCH&no_cal=false&op=bird&sn=$serial&"

# time -v fields: wall clock as [h:]m:s, peak resident set in KiB.
wall_of() { awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s}' "$1"; }
rss_of() { awk -F': ' '/Maximum resident set size/ {print $2}' "$1"; }

for round in $(seq 1 "$rounds"); do
    # The updater: store in a private home; the stored file is copied out for checking.
    scripts/isolated-home.sh bash -c '
        /usr/bin/time -v -o "$1/updater.time" "$2" -G -d "$3" -u "$4" > "$1/updater.out" 2> "$1/updater.err"
        cp "$HOME/.quillmar/updater/$3/$5.bird" "$1/updater.bird"' \
        bench "$work" "$bin/Updater/Updater" "$serial" "$url" "$build"
    # The baseline: curl to a file, then base64 -d of the payload line.
    /usr/bin/time -v -o "$work/curl.time" curl -s -o "$work/reply.txt" "$url?$query"
    tail -n +2 "$work/reply.txt" | head -n 1 > "$work/payload.b64"
    /usr/bin/time -v -o "$work/base64.time" base64 -d "$work/payload.b64" > "$work/baseline.bird"

    cmp -s "$work/updater.bird" "$work/content/$serial/$build.bird" || { echo "bench-download: updater's file differs" >&2; exit 1; }
    cmp -s "$work/baseline.bird" "$work/content/$serial/$build.bird" || { echo "bench-download: baseline file differs" >&2; exit 1; }
    echo "$(wall_of "$work/updater.time") $(rss_of "$work/updater.time") $(wall_of "$work/curl.time") $(rss_of "$work/curl.time") $(wall_of "$work/base64.time") $(rss_of "$work/base64.time")" >> "$work/rounds"
done

# The median of column $1 of the rounds.
median() { sort -g -k"$1","$1" "$work/rounds" | awk -v c="$1" '{v[NR] = $c} END {print v[int((NR + 1) / 2)]}'; }
echo "rounds (wall s, peak RSS KiB): Updater, curl, base64 -d"
cat "$work/rounds"
u_wall=$(median 1); u_rss=$(median 2)
c_wall=$(median 3); c_rss=$(median 4)
b_wall=$(median 5); b_rss=$(median 6)
awk -v bytes="$bird_bytes" -v uw="$u_wall" -v ur="$u_rss" -v cw="$c_wall" -v cr="$c_rss" -v bw="$b_wall" -v br="$b_rss" 'BEGIN {
    mib = bytes / 1048576; bw_total = cw + bw; br_peak = (cr > br ? cr : br)
    printf "BIRD file: %d bytes (%.2f MiB), base64 reply %.2f MiB\n", bytes, mib, mib * 4 / 3
    printf "medians of the rounds:\n%-28s %10s %14s %16s\n", "", "wall s", "peak RSS MiB", "peak RSS / BIRD"
    printf "%-28s %10.2f %14.1f %16.2f\n", "Updater -G", uw, ur / 1024, ur * 1024 / bytes
    printf "%-28s %10.2f %14.1f %16.2f\n", "curl to file", cw, cr / 1024, cr * 1024 / bytes
    printf "%-28s %10.2f %14.1f %16.2f\n", "base64 -d", bw, br / 1024, br * 1024 / bytes
    printf "%-28s %10.2f %14.1f %16.2f\n", "baseline (curl + base64 -d)", bw_total, br_peak / 1024, br_peak * 1024 / bytes
    printf "ratios Updater / baseline: wall %.2f, peak RSS %.2f\n", (bw_total > 0 ? uw / bw_total : 0), (br_peak > 0 ? ur / br_peak : 0)
}'
