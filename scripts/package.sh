#!/usr/bin/env bash
# Builds the release preset and makes the Debian packages with CPack:
# keystrand-updater (the program, man page, bash completion, udev rules) and
# keystrand-sim (the module simulator). Checks them with lintian when present.
# The packages land in build/release/packages/.
# Usage: scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >/dev/null
# Debian's hardening flags (fortified functions, stack protector, format
# checks, read-only relocations bound at start), as a Debian build would use.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flags() { dpkg-buildflags --get "$1"; }
cmake --preset release \
    -DCMAKE_C_FLAGS="$(flags CPPFLAGS) $(flags CFLAGS)" \
    -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" \
    -DCMAKE_SHARED_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
cmake --build --preset release
out=build/release/packages
rm -rf "$out"
cpack --config build/release/CPackConfig.cmake -B "$out" >/dev/null
rm -rf "$out/_CPack_Packages"
for deb in "$out"/*.deb; do
    echo "== $deb"
    dpkg-deb --field "$deb" Package Version Depends
    if command -v lintian >/dev/null; then
        report=$(lintian --tag-display-limit 0 "$deb") || { echo "$report"; echo "package.sh: lintian found errors in $deb" >&2; exit 1; }
        echo "$report"
        if grep -q "hardening-" <<<"$report"; then
            echo "package.sh: $deb was not built with the hardening flags" >&2
            exit 1
        fi
    fi
done
