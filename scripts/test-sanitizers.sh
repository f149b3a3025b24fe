#!/usr/bin/env bash
# Builds and runs the test suite under AddressSanitizer + UBSan and under
# ThreadSanitizer. Usage: scripts/test-sanitizers.sh [asan] [tsan] (default both);
# extra ctest arguments can be given after "--", e.g. -- -L devicelib
set -euo pipefail
cd "$(dirname "$0")/.."
presets=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do presets+=("$1"); shift; done
[ "${1:-}" = "--" ] && shift
[ "${#presets[@]}" -gt 0 ] || presets=(asan tsan)

bash scripts/install-deps.sh
status=0
for p in "${presets[@]}"; do
    echo "=== $p"
    bash scripts/build.sh "$p"
    ctest --preset "$p" "$@" || status=1
done
exit $status
