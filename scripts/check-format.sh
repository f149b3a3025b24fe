#!/usr/bin/env bash
# Fails when a tracked C++ file is not formatted as .clang-format says.
# Usage: scripts/check-format.sh [--fix]
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h' '*.hpp')
log=$(mktemp "${TMPDIR:-/tmp}/ks-format.XXXXXX")
trap 'rm -f "$log"' EXIT
if [ "${1:-}" = --fix ]; then
    clang-format -i "${files[@]}"
    exit 0
fi
if ! clang-format --dry-run -Werror "${files[@]}" 2>"$log"; then
    grep -E '^[^ ].*: (error|warning):' "$log" | cut -d: -f1 | sort -u | sed 's/^/not formatted: /' >&2
    echo "check-format: run scripts/check-format.sh --fix" >&2
    exit 1
fi
echo "check-format: ${#files[@]} files formatted"
