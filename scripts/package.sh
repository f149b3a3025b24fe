#!/usr/bin/env bash
# Builds the release preset and makes the Debian packages with CPack:
# keystrand-updater (the program, man page, bash completion, udev rules) and
# keystrand-sim (the module simulator). Checks them with lintian when present.
# The packages land in build/release/packages/.
# Usage: scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release
out=build/release/packages
rm -rf "$out"
cpack --config build/release/CPackConfig.cmake -B "$out" >/dev/null
rm -rf "$out/_CPack_Packages"
for deb in "$out"/*.deb; do
    echo "== $deb"
    dpkg-deb --field "$deb" Package Version Depends
    if command -v lintian >/dev/null; then
        lintian --tag-display-limit 0 "$deb" || { echo "package.sh: lintian found errors in $deb" >&2; exit 1; }
    fi
done
