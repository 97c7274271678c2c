#!/usr/bin/env bash
# The wait for the FTP host that demo.sh and serve.sh use, against stand-in
# hosts: one that listens only after several progress intervals, one that
# exits without listening, one that never listens.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export SFVCHECK_PROGRESS_SECONDS=1
. "$here/../../scripts/waiting.sh"
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Starts slowly: Wine's first lines, then the listening line after 4 s.
(echo "setting up the Wine prefix"; sleep 4; echo "ftp_host: listening on 127.0.0.1:4242, serving Z:\\x"; sleep 60) \
    >"$work/slow.log" &
start=$SECONDS
wait_for_host $! "$work/slow.log" 60 >"$work/slow.out" 2>&1 || fail "gave up on a host that was still starting: $(cat "$work/slow.out")"
[ "${host_port:-}" = 4242 ] || fail "port of the slow host: '${host_port:-}'"
grep -q 'still waiting for the FTP host' "$work/slow.out" || fail "no progress line during a 4 s wait"

# Exits without listening: the wait ends at once, naming the log and its end.
(echo "err: cannot load the plug-in"; sleep 1; exit 3) >"$work/dead.log" &
start=$SECONDS
if wait_for_host $! "$work/dead.log" 60 >"$work/dead.out" 2>&1; then fail "a host that exited was taken as listening"; fi
[ $((SECONDS - start)) -lt 10 ] || fail "waited $((SECONDS - start)) s for a host that had exited"
grep -q 'exited before it listened' "$work/dead.out" && grep -qF "$work/dead.log" "$work/dead.out" &&
    grep -q 'cannot load the plug-in' "$work/dead.out" || fail "the cause is not named: $(cat "$work/dead.out")"

# Never listens: the bound ends the wait.
sleep 60 >"$work/mute.log" &
if wait_for_host $! "$work/mute.log" 2 >"$work/mute.out" 2>&1; then fail "a host that never listened was taken"; fi
grep -q 'did not listen within 2 s' "$work/mute.out" || fail "the bound is not named: $(cat "$work/mute.out")"

[ "$failures" = 0 ] && echo "waiting: passed"
exit "$failures"
