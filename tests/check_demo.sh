#!/usr/bin/env bash
# Checks scripts/run.sh end to end against the built program, how it copes
# with a notchkey that fails at start, and the key-name filter on its own.
# usage: check_demo.sh [NOTCHKEY MASCON_SIM]   (default: those of build/)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/lib.sh
[ $# -eq 2 ] && export NOTCHKEY_PROGRAM=$1 MASCON_SIM_PROGRAM=$2
find_programs "$root"
py=/usr/bin/python3
names=$root/scripts/keynames.py

failures=0
fail() {
  echo "check_demo: FAIL: $*" >&2
  failures=$((failures + 1))
}

for f in "$notchkey" "$sim"; do
  [ -x "$f" ] || { echo "check_demo: $f is missing; run scripts/build.sh first" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/check-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Lists processes still running inside $1 or naming it, i.e. left behind by a
# demo whose temporary folder was made there.
leftovers() {
  local dir=$1 p cwd
  for p in /proc/[0-9]*; do
    cwd=$(readlink "$p/cwd" 2>/dev/null) || continue
    if [[ $cwd == "$dir"* ]] || tr '\0' ' ' <"$p/cmdline" 2>/dev/null | grep -qF "$dir"; then
      echo "${p#/proc/}: $(tr '\0' ' ' <"$p/cmdline" 2>/dev/null)"
    fi
  done
}

# After a run, the demo's temporary folder must be gone and nothing of it left running.
check_clean_after() {
  local what=$1 dir=$2 left
  left=$(leftovers "$dir")
  [ -z "$left" ] || fail "$what left processes behind: $left"
  [ -z "$(ls -A "$dir")" ] || fail "$what left files in its temporary folder: $(ls -A "$dir")"
}

# ---------------------------------------------------------------- name filter

got=$(printf '02 d2\n39\nb9\n5a\n' | "$py" "$names")
want=$'press 1\nrelease kp0\npress space\nrelease space\npress 0x5a'
[ "$got" = "$want" ] || fail "keynames on '02 d2 / 39 / b9 / 5a' printed:
$got
instead of:
$want"

# Every key the program sends, against the README's table.
got=$(printf '07 06 05 04 03 02 52 4f 50 51 4b 4c 4d 47 48 49 39 1c 01\n' | "$py" "$names" | tr '\n' ,)
want='press 6,press 5,press 4,press 3,press 2,press 1,press kp0,press kp1,press kp2,press kp3,press kp4,press kp5,press kp6,press kp7,press kp8,press kp9,press space,press enter,press esc,'
[ "$got" = "$want" ] || fail "keynames names the keys wrongly: $got"

# Keys of a [keys] map: extended ones after their prefix, a bare prefix ending
# a packet as the release it is.
got=$(printf '10 e0 48\ne0 c8 90\n2a e0\n' | "$py" "$names" | tr '\n' ,)
want='press q,press up,release up,release q,press lshift,release 0x60,'
[ "$got" = "$want" ] || fail "keynames names mapped keys wrongly: $got"

# A line must come out while the writer still holds the pipe open; without
# PYTHONUNBUFFERED, as most users run it.
coproc FILTER { exec env -u PYTHONUNBUFFERED "$py" "$names" -t --prefix '> '; }
# Kept now: bash forgets FILTER_PID once it has reaped the coprocess, which
# may happen as soon as its input is closed below.
filter_pid=$FILTER_PID
printf '82\n' >&"${FILTER[1]}"
line=
read -r -t 5 line <&"${FILTER[0]}" || true
[[ $line =~ ^\ *[0-9]+\.[0-9]{3}\ \>\ release\ 1$ ]] ||
  fail "keynames did not print the event at once with -t and --prefix (got '$line')"
filter_in=${FILTER[1]}
exec {filter_in}>&-
wait "$filter_pid" || fail "keynames failed at the end of its input"

# ---------------------------------------------------------------- the demo

mkdir "$work/tmp"
start=$SECONDS
code=0
TMPDIR=$work/tmp timeout 60 env -u PYTHONUNBUFFERED bash scripts/run.sh >"$work/out" 2>"$work/err" || code=$?
took=$((SECONDS - start))
out=$(cat "$work/out")

if [ "$code" -ne 0 ]; then
  fail "scripts/run.sh exited with $code; its stderr:
$(cat "$work/err")"
fi
[ "$took" -le 15 ] || fail "the demo took ${took} s"
check_clean_after "scripts/run.sh" "$work/tmp"

end_heading=$(grep -n '^== ending notchkey' "$work/out" | cut -d: -f1 | head -1 || true)
if [ -z "$end_heading" ]; then
  fail "no heading for ending notchkey in the demo's output"
  end_heading=$(($(wc -l <"$work/out") + 1))
fi
# Key events are the indented press/release lines the filter prints.
events() { sed -n "$1" "$work/out" | grep -E '^ +(press|release) ' | sed -E 's/^ +//' || true; }
before=$(events "1,$((end_heading - 1))p")
after=$(events "$end_heading,\$p")

lever_keys=(6 5 4 3 2 1 kp0 kp1 kp2 kp3 kp4
            kp5 kp6 kp7 kp8 kp9)
for key in "${lever_keys[@]}"; do
  grep -qx "press $key" <<<"$before" || fail "lever key '$key' was never pressed"
done

count() { grep -cx "$1" <<<"$before" || true; }
# Space stands for both K and X.
for pair in "space 2" "enter 1" "esc 1"; do
  key=${pair% *}
  times=${pair#* }
  [ "$(count "press $key")" -ge "$times" ] || fail "button key '$key' pressed fewer than $times times"
  [ "$(count "release $key")" -ge "$times" ] || fail "button key '$key' released fewer than $times times"
done

# What was still down before SIGTERM must be released after it, and nothing else.
held=$(awk '
  /^press /   { k = substr($0, 7); down[k] = 1 }
  /^release / { k = substr($0, 9); delete down[k] }
  END { for (k in down) print "release " k }' <<<"$before" | sort)
released=$(sort <<<"$after")
[ -n "$held" ] || fail "no key was held when notchkey was ended"
[ "$held" = "$released" ] || fail "after SIGTERM the demo showed:
${released:-(nothing)}
but the keys still down called for:
${held:-(nothing)}"

grep -qx 'notchkey exited with code 0' <<<"$out" || fail "the demo did not report exit code 0"
grep -qx '  logging started.\\r' <<<"$out" || fail "the log's first line is not shown"
grep -qx '  logging ended.\\r' <<<"$out" || fail "the log's last line is not shown"

# ---------------------------------------------------------------- the demo in steps

# The demo in steps, with the train's counts as arguments: its key events in
# $work/$1.out, checked to have their times and to end in order.
demo_in_steps() {
  local name=$1 code=0
  shift
  mkdir "$work/tmp-$name"
  TMPDIR=$work/tmp-$name NOTCHKEY_DEMO_PAUSE=0.02 timeout 60 bash scripts/run.sh --step "$@" \
    >"$work/$name.out" 2>"$work/$name.err" || code=$?
  [ "$code" -eq 0 ] || fail "scripts/run.sh --step $* exited with $code; its stderr:
$(cat "$work/$name.err")"
  check_clean_after "scripts/run.sh --step $*" "$work/tmp-$name"
  local untimed
  untimed=$(grep -E '^ *(press|release) ' "$work/$name.out" || true)
  [ -z "$untimed" ] || fail "key events without their time in the demo in steps: $untimed"
  grep -qx 'notchkey exited with code 0' "$work/$name.out" ||
    fail "the demo in steps ($*) did not report exit code 0"
}
# The keys alone, one step (press and release) a word.
steps_sent() {
  sed -nE 's/^ +[0-9]+\.[0-9]{3} +(press|release) (.*)$/\1 \2/p' "$work/$1.out" |
    awk '$1 == "press" { key = $2; next } $2 == key { printf "%s ", key; key = ""; next }
         { printf "(%s %s) ", $1, $2 }'
}
repeat() { local i; for ((i = 0; i < $2; ++i)); do printf '%s ' "$1"; done; }

demo_in_steps step
got=$(steps_sent step)
# At the emergency brake at start: lined up. To position 0: nine brake
# notches off, six power notches on and six more at the top; across: six
# off, nine brake notches on and nine more at the emergency brake; back to
# neutral; the buttons.
want="$(repeat . 9)$(repeat , 9)$(repeat a 12)$(repeat z 6)$(repeat . 18)$(repeat , 9)"
want+="space space enter esc "
[ "$got" = "$want" ] || fail "the demo in steps sent:
$got
instead of:
$want"
# Each press held and each release followed by a pause, 30 ms each by
# default: their medians, as the key reader timed them, so a reader that
# was late once cannot fail it, nor can steps sent without a pause pass.
timing=$(sed -nE 's/^ +([0-9]+\.[0-9]{3}) +(press|release) .*$/\1 \2/p' "$work/step.out" |
  awk 'NR > 1 { d = ($1 - t) * 1000; if ($2 == "release") holds[++h] = d; else gaps[++g] = d }
       { t = $1 }
       function median(a, n,   i, j, x) {
         for (i = 2; i <= n; ++i) { x = a[i]; for (j = i - 1; j > 0 && a[j] > x; --j) a[j + 1] = a[j]; a[j + 1] = x }
         return n ? a[int((n + 1) / 2)] : 0 }
       END { printf "%.0f %.0f", median(holds, h), median(gaps, g) }')
read -r hold gap <<<"$timing"
[ "$hold" -ge 15 ] && [ "$gap" -ge 15 ] ||
  fail "the demo in steps held its presses for a median of $hold ms and paused $gap ms after them (30 each set)"

# A train of four power notches and seven brakes: the lever's notches past
# them send nothing, and each end is lined up with its own count.
demo_in_steps train 4 7
got=$(steps_sent train)
want="$(repeat . 8)$(repeat , 8)$(repeat a 8)$(repeat z 4)$(repeat . 16)$(repeat , 8)"
want+="space space enter esc "
[ "$got" = "$want" ] || fail "the demo in steps on a train of 4 and 7 sent:
$got
instead of:
$want"

# ---------------------------------------------------------------- failing starts

# The demo run against a stand-in for notchkey, so its handling of a bad
# start can be seen without breaking the real program.
demo_with() {
  local dir=$1 body=$2
  mkdir -p "$dir/tmp"
  printf '#!/bin/bash\n%s\n' "$body" >"$dir/notchkey"
  chmod +x "$dir/notchkey"
  TMPDIR=$dir/tmp NOTCHKEY_PROGRAM=$dir/notchkey timeout 20 bash scripts/run.sh >"$dir.out" 2>&1
}

code=0
demo_with "$work/dies" "echo \"Lever to keys!: can't open keytap.vxd.\" >&2; exit 255" || code=$?
if [ "$code" -eq 0 ] || [ "$code" -eq 124 ]; then
  fail "the demo did not bail out when notchkey died at start (exit $code)"
fi
grep -qF "can't open keytap.vxd." "$work/dies.out" || fail "the demo hid the message of a notchkey that died at start"
grep -qF "255" "$work/dies.out" || fail "the demo did not report the exit code of a notchkey that died at start"
check_clean_after "the demo with a notchkey that dies" "$work/dies/tmp"

code=0
demo_with "$work/mute" "exec sleep 30" || code=$?
if [ "$code" -eq 0 ] || [ "$code" -eq 124 ]; then
  fail "the demo did not give up on a notchkey that sends no keys (exit $code)"
fi
check_clean_after "the demo with a notchkey that sends no keys" "$work/mute/tmp"

if [ "$failures" -ne 0 ]; then
  echo "check_demo: $failures check(s) failed; the demo printed:" >&2
  cat "$work/out" >&2
  exit 1
fi
echo "check_demo: all checks passed (the demo took ${took} s)"
