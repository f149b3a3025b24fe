#!/usr/bin/env bash
# Installs what is needed, builds the updater and its simulators, and shows its
# main job end to end on this machine: the banner and usage screen, then the
# build list and downloads of a module's firmware from the simulated update
# server (loopback only) into the per-user store, and an update of a simulated
# module on the emulated USB bus with the build just downloaded. The store lives in a private
# temporary home (scripts/isolated-home.sh); the real home is never touched.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${KS_DEMO_INNER:-}" != 1 ]; then
    bash scripts/install-deps.sh
    cmake --preset release >/dev/null
    cmake --build --preset release >/dev/null
    KS_DEMO_INNER=1 exec scripts/isolated-home.sh bash "$0"
fi

source scripts/lib/sim.sh
bin=build/release
updater=$bin/Updater/Updater
serial=40F5849A
work=$(mktemp -d "${TMPDIR:-/tmp}/ks-demo.XXXXXX")
# Never fails: an exit trap that fails under set -e would skip the clean-up
# and turn the demo's exit status into the server's 143.
trap 'sim_stop_all; rm -rf "$work"' EXIT

step() { printf '\n\033[1m$ %s\033[0m\n' "$*"; }
run() { step "Updater ${*}"; "$updater" "$@" && echo "(exit status 0)" || echo "(exit status $?)"; }

# Server content: two builds of one module, made with the BIRD writer.
content=$work/server
mkdir -p "$content/$serial"
for entry in 1201:2.9.28 1234:2.9.29; do
    b=${entry%%:*} version=${entry#*:}
    cat > "$work/$b.txt" <<DESC
version 1 1
loader flags=1 address=0x10000000 fill:0xA5:2048
firmware flags=2 address=0x0 vector-checksum le32:0x10008000,0x101,0x103,0x105,0,0,0,0 fill:0xFF:65536
descriptor build=$b version=$version serial=$serial model=Crossway
start-address 0x10000000
DESC
    "$bin/sim/bird/birdwrite" -o "$content/$serial/$b.bird" "$work/$b.txt"
    echo "$version" > "$content/$serial/$b.version"
done
echo 1234 > "$content/$serial/latest"
echo "KS-ROUTER" > "$content/$serial/firmware"

sim_start_updateserver "$work/server.out" --root "$content" --lifetime 120 \
    --log "$work/server.log" || { echo "demo: the simulated update server did not start" >&2; exit 1; }
url=http://127.0.0.1:$sim_port/cgi/u

run -h
run -B -d "$serial" -u "$url"
run -G -d "$serial" -u "$url"
run -G -d "$serial" -b 1201 -u "$url"
run -G -d "$serial" -b 999 -u "$url"

# The module (a Crossway, model 21) on the emulated USB bus; the Updater runs
# as the simulator's child, so it sees that bus.
step "keystrand-sim --module 'r serial=$serial model=21 address=2 usb' -- Updater -G -U -d $serial -u $url"
"$build/sim/module/keystrand-sim" --dump "$work/dump" \
    --module "r serial=$serial model=21 address=2 usb" -- "$updater" -G -U -d "$serial" -u "$url" &&
    echo "(exit status 0)" || echo "(exit status $?)"
step "what the simulated module received and now runs"
cat "$work/dump/images.txt"

step "ls -la ~/.quillmar/updater/$serial && cat ~/.quillmar/updater/$serial/.settings"
ls -la "$HOME/.quillmar/updater/$serial"
cat "$HOME/.quillmar/updater/$serial/.settings"

step "requests the simulated server answered"
cat "$work/server.log"
