#!/usr/bin/env bash
# Runs a command with the user's home directory replaced by a fresh, empty,
# private directory, so that nothing it does can read or write the real home.
#
# The updater takes the home directory from the password database first and
# from HOME only as a fallback, so redirecting HOME is not enough: the command
# runs in a private mount namespace in which a temporary directory is bind
# mounted over the home directory of the password database, and HOME points at
# it as well. As root this uses a plain mount namespace; otherwise it tries an
# unprivileged user namespace. When neither is possible it exits with 77
# (ctest's skip code) and says why.
set -euo pipefail

if [ "${KS_ISOLATED_HOME:-}" = 1 ]; then
    exec "$@"
fi

pw_home=$(getent passwd "$(id -u)" | cut -d: -f6)
[ -n "$pw_home" ] || pw_home=${HOME:-/root}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/ks-home.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

inner='set -e
mount --make-rprivate / 2>/dev/null || true
mount --bind "$KS_FAKE_HOME" "$KS_PW_HOME"
export HOME="$KS_PW_HOME" KS_ISOLATED_HOME=1
exec "$@"'

export KS_FAKE_HOME="$tmp" KS_PW_HOME="$pw_home"
if [ "$(id -u)" -eq 0 ]; then
    unshare --mount -- bash -c "$inner" isolated-home "$@" && rc=0 || rc=$?
elif unshare --user --map-root-user --mount true 2>/dev/null; then
    unshare --user --map-root-user --mount -- bash -c "$inner" isolated-home "$@" && rc=0 || rc=$?
else
    echo "SKIPPED: cannot isolate the home directory (needs root or unprivileged user namespaces)" >&2
    rc=77
fi
exit $rc
