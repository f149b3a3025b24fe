#!/bin/sh
# Eight modules made by one `--modules` statement, each found by the real
# Updater: on the emulated USB bus (usb) or on TCP/IP in the namespace pair
# (tcpip, needs root).
# Usage: fleet_discover.sh usb|tcpip KEYSTRAND-SIM UPDATER
mode=$1 sim=$2 updater=$3
case $mode in
usb) first=0x4B530001 ;;
tcpip)
    first=0x4B530101
    if [ "$(id -u)" != 0 ] || ! command -v ip >/dev/null; then
        echo 'SKIPPED: needs root and iproute2 for network namespaces' >&2
        exit 77
    fi ;;
*) echo "usage: $0 usb|tcpip KEYSTRAND-SIM UPDATER" >&2; exit 2 ;;
esac
out=$(mktemp) || exit 1
trap 'rm -f "$out"' EXIT
serial=$(printf '%08X' $first)
if [ $mode = usb ]; then
    timeout 120 "$sim" --modules "8 u serial=$serial usb" -- "$updater" -D >"$out" 2>&1
else
    timeout 120 "$sim" --netns --modules "8 t serial=$serial tcp=0" \
        -- "$updater" -D -t TCPIP >"$out" 2>&1
fi || { echo "$mode: the simulator or the Updater failed:"; cat "$out"; exit 1; }
# Every serial FIRST..FIRST+7 on a device line of the listing, and no other.
want=$(i=0; while [ $i -lt 8 ]; do printf '%08X\n' $((first + i)); i=$((i + 1)); done)
got=$(awk '$1 ~ /^[0-9A-F]+$/ && length($1) == 8 { print $1 }' "$out" | sort)
if [ "$got" != "$want" ]; then
    echo "$mode: expected the serials"; echo "$want"; echo "found:"; cat "$out"
    exit 1
fi
echo "$mode: all 8 modules listed"
