#!/usr/bin/env bash
# The key-event monitor watches two runs of the real notchkey in a row and
# names every key it injects, each with a time stamp.
# usage: check_monitor.sh [NOTCHKEY MASCON_SIM]   (default: those of build/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib.sh"
[ $# -eq 2 ] && export NOTCHKEY_PROGRAM=$1 MASCON_SIM_PROGRAM=$2
find_programs "$root"
tmp=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL monitor: $*" >&2; [ -f "$tmp/monitor.out" ] && cat "$tmp/monitor.out" >&2; exit 1; }

# Waits up to five seconds for a line in a file.
wait_line() { eventually 5 grep -q -- "$2" "$1" 2>/dev/null; }

setsid "$root/scripts/monitor.sh" "$tmp/dev" > "$tmp/monitor.out" 2>"$tmp/monitor.err" &
pids+=($!)
eventually 5 test -p "$tmp/dev/keytap.vxd" || fail "no FIFO made"
mkdir "$tmp/home"
printf '[config]\nport=COM2\n' > "$tmp/home/notchkey.ini"

ride() { # ride MESSAGE: one run of notchkey that moves the lever once
  mkfifo "$tmp/script"
  "$sim" --dir "$tmp/dev" --com 2 --hold < "$tmp/script" > /dev/null 2>&1 &
  local sim_pid=$!
  pids+=("$sim_pid")
  exec 7> "$tmp/script"
  eventually 5 test -L "$tmp/dev/com2" || fail "mascon-sim made no com2"
  (cd "$tmp/home" && NOTCHKEY_DEVICES=$tmp/dev exec "$notchkey") &
  local pid=$!
  pids+=("$pid")
  echo wait-reset >&7
  echo "$1" >&7
  wait_line "$tmp/monitor.out" "$2" || fail "no '$2'"
  kill -TERM "$pid"
  local code=0
  wait "$pid" || code=$?
  [ "$code" -eq 0 ] || fail "notchkey exited with $code"
  exec 7>&-
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  rm -f "$tmp/script"
}

ride MCA55 'press 1$'
wait_line "$tmp/monitor.out" 'release 1$' || fail "the held key was not released at the end"
ride MCB20 'press kp9$'
wait_line "$tmp/monitor.out" 'release kp9$' || fail "second run not watched to its end"

expected='press kp0
release 6
press 1
release kp0
release 1
press kp0
release 6
press kp9
release kp0
release kp9'
got=$(sed -E 's/^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} //' "$tmp/monitor.out")
[ "$got" = "$expected" ] || fail "events differ"$'\n'"$got"
grep -qvE '^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} (press|release) ' "$tmp/monitor.out" &&
  fail "a line without its time stamp"
echo "ok   monitor: two runs, 10 key events named and stamped"
