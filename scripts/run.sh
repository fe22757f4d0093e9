#!/usr/bin/env bash
# A demo that needs no hardware: the real notchkey, a simulated mascon on a
# pseudo-terminal, and a key-driver capture whose packets are printed by name
# as they arrive. The lever visits all sixteen positions and every button is
# pressed and released. NOTCHKEY_DEMO_PAUSE sets the pause after each step
# in seconds (default 0.15); NOTCHKEY_PROGRAM and MASCON_SIM_PROGRAM name the
# programs of a build outside build/.
#
#   scripts/run.sh          the lever holds one key per position (lever=hold)
#   scripts/run.sh --step   the lever drives a simulator's handles in steps
#                           (lever=step): a is power up, z power down, . brake
#                           up, , brake down; each key event comes with the
#                           seconds since the start, so every 30 ms hold and
#                           gap shows
#   scripts/run.sh --step P B
#                           the same for a train with P power notches (1 to 6)
#                           and B service brakes (1 to 8)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/lib.sh

usage() { echo "usage: scripts/run.sh [--step [POWER_NOTCHES BRAKE_NOTCHES]]" >&2; exit 2; }
step=0
power=6
brake=8
case ${1:-} in
  --step)
    step=1
    if [ $# -eq 3 ]; then
      [[ $2 =~ ^[1-6]$ && $3 =~ ^[1-8]$ ]] || usage
      power=$2
      brake=$3
    elif [ $# -ne 1 ]; then
      usage
    fi ;;
  "") [ $# -eq 0 ] || usage ;;
  *) usage ;;
esac

find_programs "$root"
if [ ! -x "$notchkey" ] || [ ! -x "$sim" ]; then
  if [ -n "${NOTCHKEY_PROGRAM:-}${MASCON_SIM_PROGRAM:-}" ]; then
    echo "run: $notchkey or $sim is missing" >&2
    exit 1
  fi
  # What the demo runs, and nothing more: the tests and the Windows
  # program are scripts/build.sh's without arguments.
  echo "== building notchkey and mascon-sim =="
  scripts/build.sh notchkey mascon-sim
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
if [ "$step" -eq 1 ]; then
  names=(-t --prefix '  ')
else
  names=(--prefix '    ')
fi
/usr/bin/python3 "$root/scripts/keynames.py" "${names[@]}" <"$keytap" 3>&- 4<&- |
  tee -a "$events" 3>&- 4<&- &
reader_pid=$!

mode=hold
[ "$step" -eq 1 ] && mode=step
cat >"$tmp/notchkey.ini" <<EOF
[config]
port = COM2
lever = $mode
[debug]
logfile = $tmp/notchkey.log
[step]
power_up = a
power_down = z
brake_up = .
brake_down = ,
power_notches = $power
brake_notches = $brake
EOF

# The mascon's vocabulary, as the program has it: the sixteen lever
# positions, the buttons pressed and released in turn, the G-states.
vocabulary() { "$sim" --list | awk -v table="$1" '$1 == table { print $3 }'; }
mapfile -t positions < <(vocabulary lever)
mapfile -t buttons < <(vocabulary button)
mapfile -t gstates < <(vocabulary gstate)
# In steps the lever starts at the emergency brake, which lines the
# simulator's brake handle up with it.
lever=6
[ "$step" -eq 1 ] && lever=15

# The train's notch for a lever position: power above 0, brakes below, the
# emergency brake one below the last service brake; the lever's notches past
# the train's last give its last.
notch() {
  local i=$1
  if [ "$i" -lt 6 ]; then
    echo $((6 - i < power ? 6 - i : power))
  elif [ "$i" -eq 6 ]; then
    echo 0
  elif [ "$i" -eq 15 ]; then
    echo $((-brake - 1))
  else
    echo $((-(i - 6 < brake ? i - 6 : brake)))
  fi
}

"$sim" --dir "$dev" --com 2 --lever "${positions[lever]}" --gstate "${gstates[2]}" --verbose \
  <"$simin" >"$tmp/sim.out" 2>&1 4<&- &
sim_pid=$!
exec 3>"$simin"

# Counting the reader's copy lets each step wait for its keys before the next,
# so the transcript keeps cause and effect together.
have_events() { [ "$(wc -l <"$events")" -ge "$1" ]; }
wait_events() { eventually 2 have_events "$1"; }

if ! eventually 3 test -L "$dev/com2"; then
  echo "run: mascon-sim made no com2:" >&2
  cat "$tmp/sim.out" >&2
  exit 1
fi

[ "$step" -eq 1 ] && echo "== in steps, on a train of $power power notches and $brake service brakes =="
echo "== starting notchkey (COM2 is $(readlink "$dev/com2"); RESET is answered with ${positions[lever]} ${gstates[2]}) =="
(cd "$tmp" && NOTCHKEY_DEVICES=$dev exec "$notchkey") \
  </dev/null 2>"$tmp/notchkey.err" 3>&- 4<&- &
nk_pid=$!

# After RESET, notchkey presses the key of the lever position mascon-sim
# reports and releases position 0's key: two events. In steps, at the
# emergency brake, it lines the handle up: the service brakes and one more
# in brake_up steps, a press and a release each.
expected=2
[ "$step" -eq 1 ] && expected=$((2 * (brake + 1)))
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

# A move of one position is two key events: the new key down, the old one
# up. In steps it is a press and a release per notch of the train passed,
# none between two lever positions of one train notch, and as many more as
# the end is far from neutral on reaching the top power notch or the
# emergency brake.
move_to() {
  local target=$1 way keys from to
  way=$((target < lever ? -1 : 1))
  while [ "$lever" -ne "$target" ]; do
    from=$(notch "$lever")
    lever=$((lever + way))
    keys=2
    if [ "$step" -eq 1 ]; then
      to=$(notch "$lever")
      keys=$((2 * (to > from ? to - from : from - to)))
      if [ "$to" -ne "$from" ] && { [ "$to" -eq "$power" ] || [ "$to" -eq $((-brake - 1)) ]; }; then
        keys=$((keys + 2 * (to > 0 ? to : -to)))
      fi
    fi
    send "${positions[lever]}" "$keys" "lever position $lever"
  done
}

echo "== lever: to position 0 =="
move_to 0
echo "== lever: across to position 15 =="
move_to 15
echo "== lever: back to position 6 =="
move_to 6

for ((i = 0; i < ${#buttons[@]}; i += 2)); do
  echo "== button ${buttons[i]:2:1} =="
  send "${buttons[i]}" 1 "pressed"
  send "${buttons[i + 1]}" 1 "released"
done

echo "== G-state (no keys) =="
for gstate in "${gstates[@]}"; do
  send "$gstate" 0
done

if [ "$step" -eq 1 ]; then
  echo "== ending notchkey (SIGTERM): between steps it holds no key =="
else
  echo "== ending notchkey (SIGTERM): it releases the key it still holds =="
fi
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
