#!/usr/bin/env bash
# A demo that needs no hardware: the real notchkey, a simulated mascon on a
# pseudo-terminal, and a key-driver capture whose packets are printed by name
# as they arrive. The lever visits all sixteen positions and every button is
# pressed and released. NOTCHKEY_DEMO_PAUSE sets the pause after each step
# in seconds (default 0.15).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

notchkey=$root/build/notchkey
sim=$root/build/tools/mascon-sim
if [ ! -x "$notchkey" ] || [ ! -x "$sim" ]; then
  echo "== building =="
  scripts/build.sh
fi

pause=${NOTCHKEY_DEMO_PAUSE:-0.15}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/notchkey-demo.XXXXXX")
dev=$tmp/devices
mkdir "$dev"
keytap=$dev/keytap.vxd
simin=$tmp/sim.in
events=$tmp/events
mkfifo "$keytap" "$simin"
: >"$events"

reader_pid=
sim_pid=
nk_pid=
nk_code=

alive() { kill -0 "$1" 2>/dev/null; }

# Gives a child $2 seconds (default none) to end by itself, then SIGTERM and
# three more seconds before SIGKILL, so a stuck child cannot hang the demo.
# The exit code ends up in $stopped_code.
stop() {
  local pid=$1 grace=${2:-0} i
  for ((i = 0; i < grace * 50; ++i)); do
    alive "$pid" || break
    sleep 0.02
  done
  kill -TERM "$pid" 2>/dev/null || true
  for ((i = 0; i < 150; ++i)); do
    alive "$pid" || break
    sleep 0.02
  done
  alive "$pid" && kill -KILL "$pid" 2>/dev/null
  wait "$pid" && stopped_code=0 || stopped_code=$?
}

finish() {
  local code=$?
  trap - EXIT INT TERM HUP PIPE
  set +e
  [ -n "$nk_pid" ] && stop "$nk_pid"
  # Closing our ends gives mascon-sim and the reader their end of input,
  # which ends them once notchkey is gone.
  exec 3>&- 4<&-
  [ -n "$sim_pid" ] && stop "$sim_pid" 1
  [ -n "$reader_pid" ] && stop "$reader_pid" 1
  rm -rf "$tmp"
  exit "$code"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
# A handler rather than ignoring it, so the children keep the default.
trap 'exit 141' PIPE

# Held open for reading and writing all along, the capture always has a reader
# when notchkey opens it, however late the name printer gets there; the name
# printer still sees the end once notchkey and this end are closed.
exec 4<>"$keytap"
/usr/bin/python3 "$root/scripts/keynames.py" --prefix '    ' <"$keytap" 3>&- 4<&- |
  tee -a "$events" 3>&- 4<&- &
reader_pid=$!

cat >"$tmp/notchkey.ini" <<EOF
[config]
port = COM2
[debug]
logfile = $tmp/notchkey.log
EOF

"$sim" --dir "$dev" --com 2 --lever MCA50 --gstate MCG00 --verbose \
  <"$simin" >"$tmp/sim.out" 2>&1 4<&- &
sim_pid=$!
exec 3>"$simin"

# Counting the reader's copy lets each step wait for its keys before the next,
# so the transcript keeps cause and effect together.
wait_events() {
  local want=$1 i
  for ((i = 0; i < 100; ++i)); do
    [ "$(wc -l <"$events")" -ge "$want" ] && return 0
    alive "$nk_pid" || return 1
    sleep 0.02
  done
  return 1
}

for ((i = 0; i < 150; ++i)); do
  [ -L "$dev/com2" ] && break
  if ! alive "$sim_pid"; then
    echo "run: mascon-sim did not start:" >&2
    cat "$tmp/sim.out" >&2
    exit 1
  fi
  sleep 0.02
done
[ -L "$dev/com2" ] || { echo "run: mascon-sim made no com2" >&2; exit 1; }

echo "== starting notchkey (COM2 is $(readlink "$dev/com2"); RESET is answered with MCA50 MCG00) =="
(cd "$tmp" && NOTCHKEY_DEVICES=$dev exec "$notchkey") \
  </dev/null 2>"$tmp/notchkey.err" 3>&- 4<&- &
nk_pid=$!

# After RESET, notchkey presses the key of the lever position mascon-sim
# reports and releases position 0's key: two events.
expected=2
if ! wait_events "$expected"; then
  if alive "$nk_pid"; then
    echo "run: notchkey sent no keys after starting" >&2
  else
    wait "$nk_pid" && nk_code=0 || nk_code=$?
    echo "run: notchkey ended at once with exit code $nk_code" >&2
  fi
  cat "$tmp/notchkey.err" >&2
  exit 1
fi

positions=(MCB60 MCA95 MCA85 MCA75 MCA65 MCA55 MCA50 MCA45 MCA35 MCA25 MCA15 MCA05
           MCE99 MCB40 MCB30 MCB20)
lever=6

# $2 is the number of key events the message must cause.
send() {
  local message=$1 keys=$2 note=${3:-}
  if ! alive "$sim_pid"; then
    echo "run: mascon-sim has gone" >&2
    exit 1
  fi
  echo "  mascon $message${note:+  ($note)}"
  printf '%s\n' "$message" >&3
  expected=$((expected + keys))
  if ! wait_events "$expected"; then
    echo "run: no key from notchkey for $message" >&2
    cat "$tmp/notchkey.err" >&2
    exit 1
  fi
  sleep "$pause"
}

move_to() {
  local target=$1 step
  step=$((target < lever ? -1 : 1))
  while [ "$lever" -ne "$target" ]; do
    lever=$((lever + step))
    send "${positions[lever]}" 2 "lever position $lever"
  done
}

echo "== lever: to position 0 =="
move_to 0
echo "== lever: across to position 15 =="
move_to 15
echo "== lever: back to position 6 =="
move_to 6

for button in K X Y Z; do
  echo "== button $button =="
  send "MC${button}99" 1 "pressed"
  send "MC${button}00" 1 "released"
done

echo "== G-state (no keys) =="
send MCG99 0
send MCG50 0
send MCG00 0

echo "== ending notchkey (SIGTERM): it releases the key it still holds =="
stop "$nk_pid"
nk_code=$stopped_code
nk_pid=
# The reader has printed everything once notchkey and this end are closed.
exec 4<&-
stop "$reader_pid" 3
reader_pid=
echo "notchkey exited with code $nk_code"

if [ -s "$tmp/notchkey.err" ]; then
  echo "== notchkey's messages =="
  cat "$tmp/notchkey.err"
fi

echo "== notchkey.log (\\r shown) =="
if [ -f "$tmp/notchkey.log" ]; then
  while IFS= read -r line || [ -n "$line" ]; do
    printf '  %s\n' "${line//$'\r'/\\r}"
  done <"$tmp/notchkey.log"
else
  echo "  (notchkey wrote no log)"
fi

[ "$nk_code" -eq 0 ]
