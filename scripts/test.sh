#!/usr/bin/env bash
# Installs what is needed, builds with warnings as errors and runs the whole
# test suite: the optimised build first, then the same tests under
# AddressSanitizer + UBSan and under ThreadSanitizer.
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
    ctest --preset "$p" || failed+=("$p")
done
if [ "${#failed[@]}" -gt 0 ]; then
    echo "test.sh: tests failed in: ${failed[*]}" >&2
    exit 1
fi
