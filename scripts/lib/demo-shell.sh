#!/usr/bin/env bash
# The shell of scripts/demo.sh --shell, run by the module simulator as its
# child, where demo-steps.sh would run: starts the simulated update server,
# puts its URL in KEYSTRAND_UPDATE_SERVER and Updater on the PATH, prints a
# few lines of help and opens an interactive shell. The server stops when the
# shell exits; the simulator then stops the bench.
set -uo pipefail
work=$KS_DEMO_WORK
bin=$KS_DEMO_BIN
source "$(dirname "$0")/sim.sh"
trap 'sim_stop_all' EXIT

sim_start_updateserver "$work/server.out" --root "$work/server" --log "$work/server.log" || exit 1
export KEYSTRAND_UPDATE_SERVER=http://127.0.0.1:$sim_port/cgi/u
export PATH=$(dirname "$KS_DEMO_UPDATER"):$PATH
lpc_pty=$(sed -n 's/^module lpc .*pty=\([^ ]*\).*/\1/p' "$work/ready")

cat <<HELP

Keystrand bench: simulated modules and update server. Leave the shell (exit or
Ctrl-D) to stop it; the store (~/.quillmar/updater) is private to this shell.
  Updater -D                      the module on USB, 40F5849A
  Updater -D -t TCPIP             the modules on the network: 40F50010, router D272031D
  Updater -D -r D272031D          the modules behind the router
  Updater -B -d 40F5849A          the builds the update server offers
  Updater -G -U -d 40F5849A       download the latest build and write it
  Updater -G -U -d 40F50001 -r D272031D -a 4    the same behind the router
  Updater -U -t RECOVER -s $lpc_pty    recover the dead LPC module
  Updater -U -t RECOVER -s USB    recover the dead i.MX module
  Updater -h                      every option
Update server: KEYSTRAND_UPDATE_SERVER=$KEYSTRAND_UPDATE_SERVER

HELP
rc=$(mktemp "$work/shellrc.XXXXXX")
printf '%s\n' '[ -f /etc/bash.bashrc ] && source /etc/bash.bashrc' \
    'PS1="(keystrand bench) \w\$ "' > "$rc"
bash --rcfile "$rc" -i
