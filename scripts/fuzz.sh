#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, ASan+UBSan) and runs every fuzz
# target for the given number of seconds each.
# Usage: scripts/fuzz.sh [seconds]   (default 60)
# Corpora live in build/fuzz/corpus/<target>; crashing inputs are written to
# build/fuzz/artifacts/. Keep each one as a regression file under
# tests/Updater/UpdaterLib/source/fuzz-regressions/<target>/, named after the
# bug it caught.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
case "$seconds" in ''|*[!0-9]*) echo "usage: scripts/fuzz.sh [seconds]" >&2; exit 2;; esac

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_birdfile fuzz_kvstore birdwrite

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
    local kept=tests/Updater/UpdaterLib/source/fuzz-regressions/$target
    if [ -d "$kept" ]; then cp "$kept"/* "$corpus/" 2>/dev/null || true; fi
}

status=0
for target in birdfile kvstore; do
    seed "$target"
    echo "== fuzz_$target for ${seconds}s"
    log=$out/fuzz_$target.log
    if ! "$out/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -artifact_prefix="$out/artifacts/$target-" -print_final_stats=1 \
            "$out/corpus/$target" >"$log" 2>&1; then
        echo "fuzz_$target FOUND A PROBLEM (see $log and $out/artifacts/)"
        tail -30 "$log"
        status=1
    fi
    grep -E '^Done [0-9]+ runs|stat::number_of_executed_units' "$log" || true
done
exit $status
