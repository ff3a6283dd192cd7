#!/usr/bin/env bash
# tst_with_xvfb.sh WITH_XVFB XTEXTWINDOW: checks the X test tools themselves.
set -u
with_xvfb="$1"
xtextwindow="$2"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
gone() { ! xdpyinfo -display "$1" >/dev/null 2>&1; }

# The command's exit status comes back; the caller's DISPLAY plays no part.
DISPLAY=:999 "$with_xvfb" sh -c 'echo "$DISPLAY" >"$0"; xdpyinfo >/dev/null && exit 7' "$tmp/d1"
status=$?
[ "$status" -eq 7 ] || fail "exit status $status, expected 7"
d1="$(cat "$tmp/d1")"
[ -n "$d1" ] && [ "$d1" != ":999" ] || fail "DISPLAY was '$d1'"
gone "$d1" || fail "the X server $d1 is still running after the command"

# Two at once get different servers.
"$with_xvfb" sh -c 'echo "$DISPLAY" >"$0"; sleep 2' "$tmp/a" &
"$with_xvfb" sh -c 'echo "$DISPLAY" >"$0"; sleep 2' "$tmp/b" &
wait
[ "$(cat "$tmp/a")" != "$(cat "$tmp/b")" ] || fail "parallel runs shared $(cat "$tmp/a")"

# TERM reaches the command and the server still goes away.
"$with_xvfb" sh -c 'echo "$DISPLAY" >"$0"; sleep 60 >/dev/null 2>&1 & trap "kill \$!; exit 3" TERM; wait' "$tmp/d2" &
pid=$!
for _ in $(seq 100); do [ -s "$tmp/d2" ] && break; sleep 0.1; done
sleep 0.3
kill -TERM "$pid"
wait "$pid"
status=$?
[ "$status" -eq 3 ] || fail "after TERM the exit status was $status, expected 3"
gone "$(cat "$tmp/d2")" || fail "the X server survived TERM"

# xtextwindow reports "ready" once it has the focus and ends cleanly on TERM.
"$with_xvfb" sh -c '
    "$0" >"$1" & pid=$!
    for _ in $(seq 100); do grep -q "^ready$" "$1" && break; sleep 0.1; done
    grep -q "^ready$" "$1" || exit 10
    xwininfo -name "Typed text" >/dev/null 2>&1 || exit 11
    kill -TERM $pid; wait $pid' "$xtextwindow" "$tmp/out"
status=$?
[ "$status" -eq 0 ] || fail "xtextwindow run ended with $status"

# --timeout ends it on its own.
"$with_xvfb" timeout 20 "$xtextwindow" --timeout 0.5 >/dev/null
status=$?
[ "$status" -eq 0 ] || fail "xtextwindow --timeout ended with $status"

# No command is a usage error, not a hang.
"$with_xvfb" 2>/dev/null
[ $? -eq 125 ] || fail "no command did not give 125"

[ "$failures" -eq 0 ] && echo "PASS" && exit 0
exit 1
