#!/usr/bin/env bash
# README command (1): installs what is needed, builds the updater and its
# simulators, and shows the updater's whole job on simulated hardware:
#
#   1. the bench: the simulated update server on loopback; modules on an
#      emulated USB bus; modules on TCP/IP with UDP discovery and a router with
#      two children, in a private network namespace pair; a dead LPC module on
#      a pseudo-terminal; a dead i.MX module (its ROM) on the emulated USB bus;
#   2. discovery: -D, -D -t TCPIP, -D -r ROUTER;
#   3. -B and -G, -U of a USB module (on a pseudo-terminal, so the progress
#      bar shows), and -G -U of a TCP/IP module and of one behind the router
#      in one fleet run (-d LIST: side by side, each redrawn in place, then
#      the table);
#   4. -N and -U -t RECOVER of the dead LPC and the dead i.MX module;
#   5. -D again, with the new firmware, and a closing table: each step, its
#      exit status, its time, and whether what each module holds equals the
#      BIRD file's images (read from the simulator's dump, not assumed).
#
# Everything runs in a private temporary home (scripts/isolated-home.sh) and
# private network namespaces; the emulated bus, the namespaces and every file
# go with the run. The exit status is 0 only when every step did what it
# should. Needs root (network namespaces).
#
# With --shell, the same bench and update server come up and an interactive
# shell opens in it instead of the steps: Updater on the PATH, the server's
# URL in KEYSTRAND_UPDATE_SERVER, a few lines of help. Leaving the shell stops
# the bench and removes everything, as after the demo.
#
# Usage: scripts/demo.sh [--shell]
set -euo pipefail
cd "$(dirname "$0")/.."

mode=steps
case ${1:-} in
    --shell) mode=shell ;;
    "") ;;
    *) echo "usage: scripts/demo.sh [--shell]" >&2; exit 2 ;;
esac

if [ "${KS_DEMO_INNER:-}" != 1 ]; then
    [ "$(id -u)" -eq 0 ] || { echo "demo: run as root (private network namespaces)" >&2; exit 1; }
    bash scripts/install-deps.sh
    echo "demo: building (release preset)..."
    cmake --preset release >/dev/null
    cmake --build --preset release >/dev/null
    exec scripts/isolated-home.sh env KS_DEMO_INNER=1 bash "$0" "$@"
fi

bin=build/release
updater=$PWD/$bin/Updater/Updater
work=$(mktemp -d "${TMPDIR:-/tmp}/ks-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
export KS_DEMO_WORK=$work KS_DEMO_UPDATER=$updater KS_DEMO_BIN=$PWD/$bin

# --- firmware for every module: random images with a descriptor inside, so
# that a module running them reports their build and version -----------------
image() { # image FILE BYTES BUILD VERSION SERIAL MODEL
    head -c "$2" /dev/urandom > "$1"
    printf '%-16s%-16s%-16s%-16s' "$3" "$4" "$5" "$6" |
        dd of="$1" bs=1 seek=1024 conv=notrunc status=none
}
bird() { # bird OUT SERIAL BUILD VERSION MODEL LOADER FIRMWARE [EXTRA-LINE]
    {
        echo "loader flags=1 address=0x10000000 file:$6"
        echo "firmware flags=2 address=0x0 file:$7"
        echo "descriptor build=$3 version=$4 serial=$2 model=$5"
        [ -z "${8:-}" ] || echo "$8"
    } > "$1.txt"
    "$bin/sim/bird/birdwrite" -o "$1" "$1.txt"
}
content=$work/server
serve() { # serve SERIAL BUILD VERSION BIRD: the update server offers it as latest
    mkdir -p "$content/$1"
    cp "$4" "$content/$1/$2.bird"
    echo "$3" > "$content/$1/$2.version"
    echo "$2" > "$content/$1/latest"
    echo "KSFW-$1" > "$content/$1/firmware"
}
fw=$work/fw
mkdir -p "$fw"
head -c 2048 /dev/urandom > "$fw/loader.bin"
for m in 40F5849A:Tessera 40F50010:Tessera 40F50001:Tessera; do
    serial=${m%%:*} model=${m#*:}
    image "$fw/$serial.bin" 16384 1234 2.9.29 "$serial" "$model"
    bird "$fw/$serial.bird" "$serial" 1234 2.9.29 "$model" "$fw/loader.bin" "$fw/$serial.bin"
    serve "$serial" 1234 2.9.29 "$fw/$serial.bird"
    echo "2.9.28" > "$content/$serial/1201.version" # an older build the list shows too
done
# The dead LPC module: its recovery image is scrambled for its chip, whose
# identifier the server maps to the module and its build.
lpc_uid="1234ABCD 00000002 00000003 DEADBEEF"
image "$fw/lpc.bin" 12288 2001 3.0.1 40F50020 Tessera
bird "$fw/lpc.bird" 40F50020 2001 3.0.1 Tessera "$fw/loader.bin" "$fw/lpc.bin" \
    "scramble 0x${lpc_uid// / 0x}"
serve 40F50020 2001 3.0.1 "$fw/lpc.bird"
# The dead i.MX module: the default recovery image (DEADDEAD) holds the live
# loader the ROM starts; the module's own build holds its firmware.
imx_uid=A1A1A1A1,B2B2B2B2,C3C3C3C3,D4D4D4D4
imx_print="D4D4D4D4 C3C3C3C3 B2B2B2B2 A1A1A1A1" # subindex 0 printed last
head -c 4096 /dev/urandom > "$fw/liveloader.bin"
image "$fw/imx.bin" 16384 3001 3.1.0 40F50030 Tessera
{
    echo "loader flags=0 address=0x20000400 file:$fw/liveloader.bin"
    echo "descriptor build=9 version=1.0.0 serial=DEADDEAD model=Tessera"
    echo "start-address 0x20000400"
} > "$fw/liveloader.txt"
"$bin/sim/bird/birdwrite" -o "$fw/liveloader.bird" "$fw/liveloader.txt"
serve DEADDEAD 9 1.0.0 "$fw/liveloader.bird"
bird "$fw/imx.bird" 40F50030 3001 3.1.0 Tessera "$fw/liveloader.bin" "$fw/imx.bin"
serve 40F50030 3001 3.1.0 "$fw/imx.bird"
printf '%s 40F50020 2001\n%s 40F50030 3001\n' "$lpc_uid" "$imx_print" > "$content/recovery"
export KS_DEMO_LPC_UID=$lpc_uid KS_DEMO_IMX_UID=$imx_print

# --- the bench ---------------------------------------------------------------
cat > "$work/demo.bench" <<BENCH
# On the emulated USB bus
module usb     serial=40F5849A model=17 address=4 version=2.9.28 build=1201 usb
# On TCP/IP (UDP discovery), in the modules' network namespace
module tcp     serial=40F50010 model=17 address=4 version=2.9.28 build=1201 tcp=0
module router  serial=D272031D model=21 address=2 version=3.1.0 build=310 tcp=0 forward-ms=2
module child1  serial=40F50001 model=17 address=4 version=2.9.28 build=1201 router=router
module child2  serial=40F50002 model=22 address=6 version=1.4.2 build=77 router=router
# Dead modules: an LPC chip in ISP mode on a pty, an i.MX ROM on USB HID
module lpc     serial=40F50020 model=17 address=4 uid=${lpc_uid// /,} pty lpc-rom usb lpc-flash-out=$work/lpc-flash.bin
module imx     serial=40F50030 model=17 address=4 uid=$imx_uid imx=usb loader-serial=default
BENCH

if [ "$mode" = shell ]; then
    status=0
    "$bin/sim/module/keystrand-sim" --netns --bench "$work/demo.bench" \
        --ready-file "$work/ready" -- bash scripts/lib/demo-shell.sh || status=$?
    exit "$status"
fi

echo
echo "== the bench: keystrand-sim --netns --bench demo.bench (modules, then the commands)"
status=0
"$bin/sim/module/keystrand-sim" --netns --bench "$work/demo.bench" --dump "$work/dump" \
    --ready-file "$work/ready" -- bash scripts/lib/demo-steps.sh || status=$?

# --- what the modules hold, from the simulator's dump -------------------------
same() { cmp -s "$1" "$2"; }
prefix_same() { cmp -s -n "$(stat -c %s "$1")" "$1" "$2"; }
check() { # check STEP-KEY DESCRIPTION COMMAND...
    if "${@:3}" 2>/dev/null; then echo "$1 yes" >> "$work/checks"; else echo "$1 NO" >> "$work/checks"; fi
}
d=$work/dump
: > "$work/checks"
check update-usb "loader and firmware" bash -c "cmp -s '$fw/loader.bin' '$d/usb.loader.0.bin' && cmp -s '$fw/40F5849A.bin' '$d/usb.running.0.bin'"
check update-fleet "loader and firmware of both" bash -c "cmp -s '$fw/loader.bin' '$d/tcp.loader.0.bin' && cmp -s '$fw/40F50010.bin' '$d/tcp.running.0.bin' && cmp -s '$fw/loader.bin' '$d/child1.loader.0.bin' && cmp -s '$fw/40F50001.bin' '$d/child1.running.0.bin'"
check recover-lpc "flash" prefix_same "$fw/lpc.bin" "$work/lpc-flash.bin"
check recover-imx "live loader and firmware" bash -c "for f in '$d'/imx.rom.*.bin; do cmp -s '$fw/liveloader.bin' \"\$f\" || exit 1; done && ls '$d'/imx.rom.*.bin >/dev/null && cmp -s '$fw/imx.bin' '$d/imx.running.0.bin'"

echo
echo "== the closing table"
printf '%-34s %6s %8s  %s\n' "step" "exit" "time" "bytes held = BIRD images"
ok=1
while read -r key expected got seconds label; do
    bytes=$(awk -v k="$key" '$1 == k { print $2 }' "$work/checks")
    [ -n "$bytes" ] || bytes=-
    mark=
    [ "$got" = "$expected" ] || { mark=" (expected $expected)"; ok=0; }
    [ "$bytes" != NO ] || ok=0
    printf '%-34s %6s %7ss  %s%s\n' "$label" "$got" "$seconds" "$bytes" "$mark"
done < "$work/steps"
[ "$status" -eq 0 ] || { echo "demo: the bench ended with status $status" >&2; ok=0; }
if [ "$ok" = 1 ]; then
    echo "demo: every step did what it should"
    exit 0
fi
echo "demo: some steps did not do what they should (see above)" >&2
exit 1
