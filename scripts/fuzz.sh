#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, ASan+UBSan) and runs every fuzz
# target for the given number of seconds each, then prints each target's
# executions and coverage.
# Usage: scripts/fuzz.sh [seconds] [target...]   (default 60 s, every target)
# Corpora live in build/fuzz/corpus/<target>; crashing inputs are written to
# build/fuzz/artifacts/. Keep each one as a regression file under
# tests/Updater/UpdaterLib/source/fuzz-regressions/<target>/ (updater
# targets) or tests/devicelib/source/fuzz-regressions/<target>/ (link
# targets), named after the bug it caught: ctest replays them.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
case "$seconds" in ''|*[!0-9]*) echo "usage: scripts/fuzz.sh [seconds] [target...]" >&2; exit 2;; esac
shift || true

# Every target: fuzz/fuzz_<name>.cpp.
all_targets="birdfile kvstore replies base64 accept packets ueifilter multiget ispanswers uudecode sdpanswers"
targets=${*:-$all_targets}

cmake --preset fuzz >/dev/null
build_targets=birdwrite
for t in $targets; do build_targets="$build_targets fuzz_$t"; done
# shellcheck disable=SC2086
cmake --build --preset fuzz --target $build_targets

out=build/fuzz
mkdir -p "$out/artifacts"
seed() {  # seed <target>: writer-made files, the kept regressions, plain seeds
    local target=$1 corpus=$out/corpus/$1
    mkdir -p "$corpus"
    for f in fuzz/seeds/"$target"/*; do
        [ -f "$f" ] || continue
        if [ "$target" = birdfile ] && [ "${f%.txt}" != "$f" ]; then
            "$out/sim/bird/birdwrite" -o "$corpus/$(basename "${f%.txt}").bird" "$f"
            "$out/sim/bird/birdwrite" --content -o "$corpus/$(basename "${f%.txt}").content" "$f"
        else
            cp "$f" "$corpus/"
        fi
    done
    for kept in tests/Updater/UpdaterLib/source/fuzz-regressions/$target \
                tests/devicelib/source/fuzz-regressions/$target; do
        if [ -d "$kept" ]; then cp "$kept"/* "$corpus/" 2>/dev/null || true; fi
    done
}

# Per-target options: the longest input tried.
options() {
    case $1 in
        packets) echo "-max_len=4096";;
        accept|birdfile) echo "-max_len=65536";;
        *) echo "-max_len=8192";;
    esac
}

status=0
for target in $targets; do
    seed "$target"
    echo "== fuzz_$target for ${seconds}s"
    log=$out/fuzz_$target.log
    # shellcheck disable=SC2046
    if ! "$out/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            $(options "$target") -artifact_prefix="$out/artifacts/$target-" -print_final_stats=1 \
            "$out/corpus/$target" >"$log" 2>&1; then
        echo "fuzz_$target FOUND A PROBLEM (see $log and $out/artifacts/)"
        tail -30 "$log"
        status=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
    corpus=$(find "$out/corpus/$target" -type f | wc -l)
    echo "fuzz_$target: ${runs:-?} runs, ${cov:-cov: ?}, corpus $corpus inputs"
done
exit $status
