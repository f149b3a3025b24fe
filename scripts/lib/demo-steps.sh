#!/usr/bin/env bash
# The commands of scripts/demo.sh, run by the module simulator as its child:
# in the host's private network namespace (the modules on TCP/IP are at
# 10.77.0.2), on the emulated USB bus, with the private home. Starts the
# simulated update server on this namespace's loopback, runs each step and
# records it in $KS_DEMO_WORK/steps: KEY EXPECTED-STATUS STATUS SECONDS LABEL.
set -uo pipefail
work=$KS_DEMO_WORK
updater=$KS_DEMO_UPDATER
bin=$KS_DEMO_BIN
source "$(dirname "$0")/sim.sh"
trap 'sim_stop_all' EXIT

sim_start_updateserver "$work/server.out" --root "$work/server" --log "$work/server.log" \
    --lifetime 300 || exit 1
url=http://127.0.0.1:$sim_port/cgi/u
lpc_pty=$(sed -n 's/^module lpc .*pty=\([^ ]*\).*/\1/p' "$work/ready")
: > "$work/steps"

# step KEY LABEL [--pty] [--expect N] [--want TEXT]... ARGS...: runs the
# Updater; on a pseudo-terminal with --pty (so its progress bar shows); the
# step fails when the exit status is not N (default 0) or a --want text is
# missing from what it printed.
step() {
    local key=$1 label=$2 pty=0 expect=0 wants=() start end status out
    shift 2
    while :; do
        case ${1:-} in
            --pty) pty=1; shift ;;
            --expect) expect=$2; shift 2 ;;
            --want) wants+=("$2"); shift 2 ;;
            *) break ;;
        esac
    done
    printf '\n\033[1m$ Updater %s\033[0m\n' "$*"
    out=$work/out.$key
    start=$(date +%s.%N)
    if [ "$pty" = 1 ]; then
        script -qefc "$(printf '%q ' "$updater" "$@")" /dev/null | tee "$out"
        status=${PIPESTATUS[0]}
    else
        "$updater" "$@" 2>&1 | tee "$out"
        status=${PIPESTATUS[0]}
    fi
    end=$(date +%s.%N)
    for want in "${wants[@]}"; do
        grep -qF -- "$want" "$out" || { echo "demo: missing from the output: $want"; status=99; }
    done
    printf '%s %s %s %s %s\n' "$key" "$expect" "$status" \
        "$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }')" "$label" >> "$work/steps"
}

step discover-usb "-D (USB)" --want "40F5849A  04" -D
step discover-tcp "-D -t TCPIP" --want "[10.77.0.2]" -D -t TCPIP
step discover-router "-D -r D272031D" --want "40F50002" -D -r D272031D
step builds "-B -d 40F5849A" --want "1234" -B -d 40F5849A -u "$url"
step get "-G -d 40F5849A" --want "Build 1234 is valid" -G -d 40F5849A -u "$url"
step update-usb "-U -d 40F5849A (USB)" --pty -U -d 40F5849A -u "$url"
# The TCP/IP module and the one behind the router in one fleet run: each
# downloads its latest build and is updated, side by side, then the table.
step update-fleet "-G -U -d LIST (fleet: TCP/IP, router)" --pty \
    --want "2 of 2 modules updated" -G -U -d 40F50010,40F50001 -r D272031D -u "$url"
step fingerprint-lpc "-N (LPC, pty)" --want "[ $KS_DEMO_LPC_UID ]" -N -s "$lpc_pty"
step recover-lpc "-U -t RECOVER (LPC, pty)" --pty -U -t RECOVER -s "$lpc_pty" -u "$url"
step fingerprint-imx "-N -s USB (i.MX ROM)" --want "[ $KS_DEMO_IMX_UID ]" -N -s USB -u "$url"
step recover-imx "-U -t RECOVER -s USB (i.MX)" --pty -U -t RECOVER -s USB -u "$url"
# A module restarts into its new firmware after the reboot that ends its
# recovery; like the real one, the simulated module needs a moment for that.
printf '\n(a second for the recovered module to restart into its new firmware)\n'
sleep 1
step discover-after "-D (USB), new firmware" --want "2.9.29 (1234)" --want "3.0.1 (2001)" \
    --want "3.1.0 (3001)" -D
step discover-tcp-after "-D -t TCPIP, new firmware" --want "2.9.29 (1234)" -D -t TCPIP
exit 0
