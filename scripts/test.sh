#!/usr/bin/env bash
# Installs what is needed, builds with warnings as errors and runs the whole
# test suite: the optimised build first, then the same tests under
# AddressSanitizer + UBSan and under ThreadSanitizer.
#
# Every test case is its own ctest test. A case skips only when the machine
# lacks something it needs (root, iproute2, umockdev...); this script
# installs all of that and is meant to run as root, so here a skipped test is
# a failure: the run lists the skipped tests and exits 1.
# Usage: scripts/test.sh [preset...]   (default: ci asan tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
[ "${#presets[@]}" -gt 0 ] || presets=(ci asan tsan)

bash scripts/install-deps.sh
bash scripts/check-format.sh
failed=()
for p in "${presets[@]}"; do
    echo "=== build and test: $p"
    bash scripts/build.sh "$p"
    log=build/$p/ctest-output.log
    ctest --preset "$p" 2>&1 | tee "$log" && rc=0 || rc=$?
    if [ "$rc" -ne 0 ]; then
        failed+=("$p")
    elif grep -q '(Skipped)$' "$log"; then
        echo "test.sh: tests were skipped in $p on a machine that should run them all:" >&2
        grep '(Skipped)$' "$log" >&2
        failed+=("$p (skipped tests)")
    fi
done
if [ "${#failed[@]}" -gt 0 ]; then
    echo "test.sh: tests failed in: ${failed[*]}" >&2
    exit 1
fi
