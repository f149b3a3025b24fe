# Simulators for scripts: start one in the background, wait for the line it
# prints when it is ready, read its port from that line, and stop everything
# started here again. Sourced (bash), e.g. by demo.sh and bench-download.sh:
#
#   source scripts/lib/sim.sh
#   trap 'sim_stop_all; rm -rf "$work"' EXIT
#   sim_start_updateserver "$work/server.out" --root "$content" || exit 1
#   url=http://127.0.0.1:$sim_port/cgi/u
#
# (Not inside $(...): a program started in a subshell is unknown to
# sim_stop_all.)
# Every wait is bounded; sim_stop_all never fails (it runs from EXIT traps,
# often under set -e).

sim_pids=()

# sim_start OUT PROGRAM [ARGS...]: runs PROGRAM in the background with its
# standard output and error in the file OUT; its process id is in sim_last_pid.
sim_start() {
    local out=$1
    shift
    "$@" > "$out" 2>&1 &
    sim_last_pid=$!
    sim_pids+=("$sim_last_pid")
}

# sim_wait_line OUT PREFIX [SECONDS]: prints the first whole line of OUT that
# starts with PREFIX (plain text, not a pattern), waiting up to SECONDS
# (default 10) while the last started program runs. Fails when none came.
sim_wait_line() {
    local out=$1 prefix=$2 seconds=${3:-10} line i
    for ((i = 0; i < seconds * 20; i++)); do
        line=$(awk -v p="$prefix" 'index($0, p) == 1 { print; exit }' "$out" 2>/dev/null)
        if [ -n "$line" ]; then
            printf '%s\n' "$line"
            return 0
        fi
        kill -0 "$sim_last_pid" 2>/dev/null || break
        sleep 0.05
    done
    echo "sim.sh: no line starting with '$prefix' from the simulator; its output:" >&2
    cat "$out" >&2 2>/dev/null
    return 1
}

# sim_port_of LINE: the number after the last ':' of a "... host:port" line.
sim_port_of() {
    printf '%s\n' "${1##*:}"
}

# sim_start_updateserver OUT [ARGS...]: starts sim/updateserver/updateserver
# of the build tree in $bin (default build/release) with ARGS and sets
# sim_port to the loopback port it listens on.
sim_start_updateserver() {
    local out=$1 line
    shift
    sim_start "$out" "${bin:-build/release}/sim/updateserver/updateserver" "$@"
    line=$(sim_wait_line "$out" "updateserver listening on 127.0.0.1:") || return 1
    sim_port=$(sim_port_of "$line")
}

# sim_stop_all: SIGTERM to every program started here, SIGKILL to those still
# there after 5 s, and waits for them. Never fails.
sim_stop_all() {
    local pid i
    for pid in "${sim_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${sim_pids[@]}"; do
        for ((i = 0; i < 100; i++)); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.05
        done
        kill -9 "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    sim_pids=()
    return 0
}
