#!/bin/sh
# keystrand-sim --netns killed with SIGKILL: its namespace helper (a forked
# copy of the simulator holding the modules' namespace) must end with it.
# Usage: netns_sigkill.sh KEYSTRAND-SIM
sim=$1
if [ "$(id -u)" != 0 ] || ! command -v ip >/dev/null; then
    echo 'SKIPPED: needs root and iproute2 for network namespaces' >&2
    exit 77
fi
dir=$(mktemp -d) || exit 1
simpid= cmdpid= holder=
cleanup() {
    for p in $simpid $cmdpid $holder; do kill -9 "$p" 2>/dev/null; done
    rm -rf "$dir"
}
trap cleanup EXIT

"$sim" --netns --ready-file "$dir/ready" --module 'r serial=40F5849A tcp=0' \
    -- sh -c 'echo $$ > "$0"; exec sleep 60' "$dir/cmd" >"$dir/out" 2>&1 &
simpid=$!
i=0
until [ -s "$dir/cmd" ] && [ -s "$dir/ready" ]; do
    i=$((i + 1))
    [ $i -gt 200 ] && { echo "the simulator did not start:"; cat "$dir/out"; exit 1; }
    sleep 0.05
done
cmdpid=$(cat "$dir/cmd")
# The helper is the simulator's child that is not the command.
for c in $(cat /proc/$simpid/task/*/children); do
    [ "$c" != "$cmdpid" ] && holder=$c
done
[ -n "$holder" ] || { echo "no namespace helper under the simulator ($simpid)"; exit 1; }

kill -9 "$simpid"
wait "$simpid" 2>/dev/null
i=0
# Gone, or a zombie waiting for whoever adopted it.
while [ -d /proc/$holder ] && ! grep -q '^State:.*Z' /proc/$holder/status 2>/dev/null; do
    i=$((i + 1))
    [ $i -gt 100 ] && { echo "namespace helper $holder still runs 5 s after the simulator was killed"; exit 1; }
    sleep 0.05
done
echo "namespace helper $holder ended with the simulator"
