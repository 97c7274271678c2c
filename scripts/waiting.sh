# shellcheck shell=bash
# Sourced by the scripts that wait for something long (a Wine prefix being
# set up, an FTP host starting under Wine), so that no wait is silent: a line
# at least every $progress_seconds while it lasts.

progress_seconds=${SFVCHECK_PROGRESS_SECONDS:-15}

# run_with_progress WHAT COMMAND [ARGS...]
# Runs the command, saying every $progress_seconds that WHAT is still going
# on and for how long; returns the command's exit status.
run_with_progress() {
    local what=$1 pid start status
    shift
    start=$SECONDS
    "$@" &
    pid=$!
    while ! wait_for_exit "$pid" "$progress_seconds"; do
        echo "    ... still $what ($((SECONDS - start)) s)"
    done
    status=0
    wait "$pid" || status=$?
    return "$status"
}

# wait_for_exit PID SECONDS: whether the process ended within SECONDS.
wait_for_exit() {
    local pid=$1 ticks=$(($2 * 5))
    while [ "$ticks" -gt 0 ]; do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.2
        ticks=$((ticks - 1))
    done
    ! kill -0 "$pid" 2>/dev/null
}

# wait_for_host PID LOG SECONDS
# Waits while the FTP host's process PID is alive and its LOG does not yet
# say "listening on 127.0.0.1:PORT", for at most SECONDS, with a line every
# $progress_seconds. On success sets host_port. When the host exits first, or
# the bound passes, prints why, the log's last lines and its path, and fails.
wait_for_host() {
    local pid=$1 log=$2 seconds=$3 start next
    start=$SECONDS
    next=$((start + progress_seconds))
    host_port=
    while :; do
        host_port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9][0-9]*\).*/\1/p' "$log" 2>/dev/null | head -1)
        [ -n "$host_port" ] && return 0
        if ! kill -0 "$pid" 2>/dev/null; then
            host_failed "the FTP host exited before it listened" "$log"
            return 1
        fi
        if [ $((SECONDS - start)) -ge "$seconds" ]; then
            host_failed "the FTP host did not listen within $seconds s (still running; its process is left to the caller)" "$log"
            return 1
        fi
        if [ "$SECONDS" -ge "$next" ]; then
            echo "    ... still waiting for the FTP host to listen ($((SECONDS - start)) s)"
            next=$((next + progress_seconds))
        fi
        sleep 0.2
    done
}

host_failed() {
    echo "$1; the last lines of its log ($2):" >&2
    tail -n 20 "$2" 2>/dev/null | sed 's/^/    /' >&2
}
