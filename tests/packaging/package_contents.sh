#!/usr/bin/env bash
# Makes the Debian packages from this build tree into a scratch directory (it
# installs nothing into the machine) and checks what they hold: the program,
# its man page (which renders without warnings), the bash completion, the udev
# rules, the simulator, and dependencies computed from the linked libraries.
# Usage: package_contents.sh BUILD_DIR
set -euo pipefail
build=$1
out=$(mktemp -d "${TMPDIR:-/tmp}/ks-package.XXXXXX")
trap 'rm -rf "$out"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 ||
    { cat "$out/cpack.log" >&2; fail "cpack could not make the packages"; }
updater=$(ls "$out"/keystrand-updater_*.deb 2>/dev/null) || fail "no keystrand-updater package"
sim=$(ls "$out"/keystrand-sim_*.deb 2>/dev/null) || fail "no keystrand-sim package"

contents=$(dpkg-deb -c "$updater")
for path in ./usr/bin/Updater ./usr/share/man/man1/Updater.1.gz \
    ./usr/share/bash-completion/completions/Updater ./usr/lib/udev/rules.d/70-keystrand.rules \
    ./usr/share/doc/keystrand-updater/copyright ./usr/share/doc/keystrand-updater/changelog.gz; do
    grep -q " $path\$" <<<"$contents" || fail "keystrand-updater lacks $path"
done
grep -q " ./usr/bin/keystrand-sim\$" <<<"$(dpkg-deb -c "$sim")" || fail "keystrand-sim lacks usr/bin/keystrand-sim"

grep -q "umockdev" <<<"$(dpkg-deb --field "$sim" Depends)" ||
    fail "keystrand-sim does not depend on umockdev, which its USB bench preloads"
depends=$(dpkg-deb --field "$updater" Depends)
for lib in libc6 libcurl4 libstdc++6; do
    grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
done

mkdir "$out/x"
dpkg-deb -x "$updater" "$out/x"
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$out/x/usr/share/man/man1/Updater.1.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "the man page renders with warnings: $warnings"
page=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$out/x/usr/share/man/man1/Updater.1.gz" 2>/dev/null)
for option in -D -B -G -U -N -b -d -a -t -f -r -s -o -u -X --json -OVERRIDE RECOVER LATEST_DOWNLOAD; do
    grep -q -- "$option" <<<"$page" || fail "the man page does not mention $option"
done
bash -n "$out/x/usr/share/bash-completion/completions/Updater" || fail "the completion script does not parse"
# Completion of a file name with a blank offers it whole, not split in two.
mkdir "$out/files" && touch "$out/files/my firmware.bird" "$out/files/other.txt"
completed=$(cd "$out/files" && bash -c '
    source "$1"
    COMP_WORDS=(Updater -U -f "my"); COMP_CWORD=3
    _Updater Updater my -f
    printf "%s\n" "${COMPREPLY[@]}"' completion "$out/x/usr/share/bash-completion/completions/Updater")
[ "$completed" = "my firmware.bird" ] || fail "file names with blanks are split by completion: [$completed]"
grep -q 'ATTR{idVendor}=="24ff".*TAG+="uaccess"' "$out/x/usr/lib/udev/rules.d/70-keystrand.rules" ||
    fail "the udev rules do not give access to Keystrand modules"
grep -q 'ATTRS{idVendor}=="1fc9", ATTRS{idProduct}=="0130", TAG+="uaccess"' \
    "$out/x/usr/lib/udev/rules.d/70-keystrand.rules" || fail "the udev rules do not give access to the i.MX ROM"
echo "packages and their contents are as expected"
