#!/usr/bin/env bash
# End-to-end tests of the real notchkey.exe under Wine. probe.exe (our own,
# tests/wine/probe.cpp) starts it, records the key events it injects, answers
# its message boxes and leaves through its tray menu, while mascon-sim plays
# the mascon on a pseudo-terminal that Wine opens as COM5.
#
# By hand, from anywhere:
#   bash tests/wine/run.sh                 every scenario
#   bash tests/wine/run.sh ride menu-exit  only those
#   NOTCHKEY_WINE_KEEP=1 bash tests/wine/run.sh   keep the temp dir to look at
# One line per scenario ("ok   NAME" / "FAIL NAME: WHY"), then "N passed, M failed".
#
# What it builds when needed: build-win/notchkey.exe and
# build-win/tests/wine/probe.exe (the probe is part of the cross build:
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
#         -DCMAKE_BUILD_TYPE=MinSizeRel && cmake --build build-win)
# and build/tools/mascon-sim (scripts/build.sh).
#
# The probe alone, in a Wine prefix whose dosdevices/com5 links to mascon-sim
# and with a notchkey.ini in /work/dir (plain `wine probe.exe ...` works too,
# without the virtual desktop's window frames and taskbar):
#   wine explorer /desktop=probe,1024x768 'Z:\repo\build-win\tests\wine\probe.exe' \
#     'Z:\repo\build-win\notchkey.exe' 'Z:\work\dir' 'Z:\work\dir\probe.out' \
#     --commands 'Z:\work\dir\commands' [--window-keys 'Z:\work\dir\window.out'] \
#     [--box-delay MS] [--timeout S]
# and `echo exit >/work/dir/commands` chooses Exit from notchkey's tray menu.
#
# Without Wine, and not root to install it, it says "wine tests skipped: WHY"
# and succeeds; with CI=true that is a failure instead.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

started=$SECONDS
nk_exe=$root/build-win/notchkey.exe
probe_exe=$root/build-win/tests/wine/probe.exe
sim=$root/build/tools/mascon-sim
shot=$root/build-win/wine/messagebox.png
shot_docs=$root/docs/wine-messagebox.png

unavailable() {
  if [ "${CI:-}" = true ]; then
    echo "wine tests failed: $1 (CI=true: not skipped)" >&2
    exit 1
  fi
  echo "wine tests skipped: $1"
  exit 0
}

# Debian packages this needs and the machine lacks.
missing_packages() {
  local -a missing=()
  command -v wine >/dev/null 2>&1 || missing+=(wine)
  # notchkey.exe is a 32-bit program.
  [ -x /usr/lib/wine/wine ] || missing+=(wine32:i386)
  command -v Xvfb >/dev/null 2>&1 || missing+=(xvfb)
  command -v xauth >/dev/null 2>&1 || missing+=(xauth)
  command -v import >/dev/null 2>&1 || missing+=(imagemagick)
  command -v xdpyinfo >/dev/null 2>&1 || missing+=(x11-utils)
  command -v i686-w64-mingw32-g++-win32 >/dev/null 2>&1 ||
    command -v i686-w64-mingw32-g++ >/dev/null 2>&1 || missing+=(g++-mingw-w64-i686)
  command -v cmake >/dev/null 2>&1 || missing+=(cmake)
  command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
  command -v python3 >/dev/null 2>&1 || missing+=(python3)
  echo "${missing[@]}"
}

install_missing() {
  local -a missing
  local apt_log
  read -r -a missing <<<"$(missing_packages)"
  if [ "$(id -u)" -ne 0 ]; then
    [ ${#missing[@]} -eq 0 ] && return 0
    unavailable "missing Debian packages: ${missing[*]} (as root: apt-get install ${missing[*]})"
  fi
  # Wine's own fonts only draw the caption buttons of the screenshot, so they
  # are not worth a skip; as root they come along.
  [ -e /usr/share/wine/fonts/marlett.ttf ] || missing+=(fonts-wine)
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "wine tests: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if [[ " ${missing[*]} " == *" wine32:i386 "* ]] &&
    [ "$(dpkg --print-architecture)" = amd64 ] &&
    ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt_log=$(mktemp)
  if ! { apt-get update -q && apt-get install -y -q --no-install-recommends "${missing[@]}"; } \
    >"$apt_log" 2>&1; then
    tail -n 20 "$apt_log" >&2
    rm -f "$apt_log"
    unavailable "could not install ${missing[*]}"
  fi
  rm -f "$apt_log"
  read -r -a missing <<<"$(missing_packages)"
  [ ${#missing[@]} -eq 0 ] || unavailable "still missing after installing: ${missing[*]}"
}

install_missing

# ---------------------------------------------------------------- builds
build_log=$(mktemp "${TMPDIR:-/tmp}/notchkey-wine-build.XXXXXX")
build_step() {
  if ! "$@" >>"$build_log" 2>&1; then
    tail -n 40 "$build_log" >&2
    echo "wine tests failed: build step failed: $*" >&2
    rm -f "$build_log"
    exit 1
  fi
}
if [ ! -f build-win/build.ninja ]; then
  build_step cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
    -DCMAKE_BUILD_TYPE=MinSizeRel
fi
build_step cmake --build build-win
if [ -x "$sim" ] && [ -f build/build.ninja ]; then
  build_step cmake --build build --target mascon-sim
else
  build_step scripts/build.sh
fi
rm -f "$build_log"

# ---------------------------------------------------------------- the stage
tmp=
xvfb_pid=
sim_pid=
probe_pid=
prefix=

alive() { kill -0 "$1" 2>/dev/null; }

# SIGTERM, then SIGKILL after two seconds: nothing may hang the run.
stop_pid() {
  local pid=$1 i
  kill -TERM "$pid" 2>/dev/null || true
  for ((i = 0; i < 100; ++i)); do
    alive "$pid" || break
    sleep 0.02
  done
  alive "$pid" && kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  local code=$?
  trap - EXIT INT TERM HUP
  set +e
  [ -n "$sim_pid" ] && stop_pid "$sim_pid"
  # Ends every Windows process of the prefix, notchkey.exe and the probe too.
  [ -n "$prefix" ] && [ -d "$prefix" ] && WINEPREFIX=$prefix timeout 20 wineserver -k >/dev/null 2>&1
  [ -n "$probe_pid" ] && stop_pid "$probe_pid"
  [ -n "$xvfb_pid" ] && stop_pid "$xvfb_pid"
  if [ -n "$tmp" ]; then
    if [ -n "${NOTCHKEY_WINE_KEEP:-}" ]; then
      echo "kept $tmp"
    else
      rm -rf "$tmp"
    fi
  fi
  exit "$code"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

tmp=$(mktemp -d "${TMPDIR:-/tmp}/notchkey-wine.XXXXXX")
prefix=$tmp/prefix
# Wine puts its server's socket directory there; it goes with the rest.
export TMPDIR=$tmp

# Xvfb picks a free display itself and writes its number.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/display" >"$tmp/xvfb.log" 2>&1 &
xvfb_pid=$!
for ((i = 0; i < 250; ++i)); do
  [ -s "$tmp/display" ] && break
  alive "$xvfb_pid" || break
  sleep 0.02
done
[ -s "$tmp/display" ] || unavailable "Xvfb did not start: $(tail -n 1 "$tmp/xvfb.log")"
export DISPLAY=:$(tr -dc 0-9 <"$tmp/display")

export WINEPREFIX=$prefix
export WINEDEBUG=-all
# No installer prompts for .NET or HTML support, and no menu entries in $HOME.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
if ! timeout 120 wineboot -i >"$tmp/wineboot.log" 2>&1; then
  unavailable "wineboot failed: $(tail -n 1 "$tmp/wineboot.log")"
fi
# One server for all scenarios, its noise kept out of the report: a pty that
# Wine opened becomes the server's terminal, and its hang-up makes the server
# dump its objects.
timeout 60 wineserver -w >/dev/null 2>&1 || true
wineserver -p >>"$tmp/wineserver.log" 2>&1 || true

# This Wine looks for its own fonts in the prefix only; without Marlett the
# caption buttons in the screenshot come out as letters.
if [ -d /usr/share/wine/fonts ]; then
  cp -n /usr/share/wine/fonts/* "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
fi

dosdevices=$prefix/dosdevices
# COM9 must not exist for the invalid-port scenario, whatever serial ports the
# machine has.
rm -f "$dosdevices/com9"

winpath() {
  local path=$1
  printf 'Z:%s' "${path//\//\\}"
}

# ---------------------------------------------------------------- helpers
# Scenario results: why the current one failed, and where to look.
why=
details=

fail() {
  [ -n "$why" ] || why=$1
  return 1
}

# Writes notchkey.ini into $1: port $2, injector $3 (none: the default), log
# path $4 (Windows form, none: no log).
write_ini() {
  {
    printf '[config]\r\nport=%s\r\n' "$2"
    [ -n "$3" ] && printf 'injector=%s\r\n' "$3"
    printf '[debug]\r\nlogfile=%s\r\n' "$4"
  } >"$1/notchkey.ini"
}

# mascon-sim on COM5 with the given arguments; returns once the link is there.
start_sim() {
  local dir=$1 i
  shift
  rm -f "$dosdevices/com5"
  "$sim" --dir "$dosdevices" --com 5 --lever MCA50 --gstate MCG00 --verbose "$@" \
    >"$dir/sim.out" 2>&1 &
  sim_pid=$!
  for ((i = 0; i < 250; ++i)); do
    [ -L "$dosdevices/com5" ] && return 0
    alive "$sim_pid" || break
    sleep 0.02
  done
  fail "mascon-sim did not link com5: $(head -n 1 "$dir/sim.out")"
}

stop_sim() {
  [ -n "$sim_pid" ] || return 0
  stop_pid "$sim_pid"
  sim_pid=
}

# The probe in a virtual desktop of its own: windows get their captions and
# the tray icon its taskbar, and no desktop is shared between scenarios.
start_probe() {
  local dir=$1
  shift
  [ -f "$dir/commands" ] || : >"$dir/commands"
  timeout 120 wine explorer "/desktop=nk-${dir##*/},1024x768" "$(winpath "$probe_exe")" \
    "$(winpath "$nk_exe")" "$(winpath "$dir")" "$(winpath "$dir/probe.out")" \
    --commands "$(winpath "$dir/commands")" --window-keys "$(winpath "$dir/window.out")" \
    --timeout 30 "$@" >"$dir/wine.log" 2>&1 &
  probe_pid=$!
}

# Waits (bounded) until the probe output has a line matching $2.
wait_for_line() {
  local dir=$1 pattern=$2 seconds=$3 i
  for ((i = 0; i < seconds * 20; ++i)); do
    grep -qE "$pattern" "$dir/probe.out" 2>/dev/null && return 0
    sleep 0.05
  done
  fail "no line matching /$pattern/ in the probe output after ${seconds}s"
}

# Waits until the probe has recorded $2 key events.
wait_for_keys() {
  local dir=$1 want=$2 i n
  for ((i = 0; i < 600; ++i)); do
    n=$(grep -cE '^(press|release) ' "$dir/probe.out" 2>/dev/null || true)
    [ "${n:-0}" -ge "$want" ] && return 0
    grep -qE '^(exit|timeout)' "$dir/probe.out" 2>/dev/null && break
    sleep 0.05
  done
  fail "only ${n:-0} of $want key events arrived"
}

# The probe's last line says how notchkey ended; the desktop then closes.
finish_probe() {
  local dir=$1 i
  wait_for_line "$dir" '^(exit -?[0-9]+|timeout)$' 40 || true
  for ((i = 0; i < 300; ++i)); do
    alive "$probe_pid" || break
    sleep 0.05
  done
  stop_pid "$probe_pid"
  probe_pid=
}

# Compares a file with the expected text; a difference is the failure.
expect_file() {
  local file=$1 expected=$2 what=$3
  if [ ! -f "$file" ]; then
    fail "no $what"
    return 1
  fi
  if ! diff -u --label expected --label "$what" <(printf '%s\n' "$expected") "$file" \
    >"$file.diff"; then
    details+="$(cat "$file.diff")"$'\n'
    fail "$what differs, first at: $(grep -m1 -E '^[-+][^-+]' "$file.diff")"
    return 1
  fi
}

# The log's exact bytes: "both", "started" or "none".
expect_log() {
  local file=$1 which=$2 want
  case $which in
  none)
    [ -e "$file" ] && { fail "a log file was made"; return 1; }
    return 0
    ;;
  started) want=$'logging started.\r\n' ;;
  both) want=$'logging started.\r\nlogging ended.\r\n' ;;
  esac
  if [ ! -f "$file" ]; then
    fail "no log file"
    return 1
  fi
  if ! cmp -s "$file" <(printf '%s' "$want"); then
    details+="log bytes: $(od -An -c "$file" | tr -s ' ')"$'\n'
    fail "the log holds other bytes than \"${want//$'\r\n'/\\r\\n}\""
    return 1
  fi
}

# ---------------------------------------------------------------- scenarios
# Each runs in $dir with its own notchkey.ini and returns non-zero with $why.

scenario_ride() {
  local dir=$1
  write_ini "$dir" COM5 sendinput "$(winpath "$dir/notchkey.log")"
  cat >"$dir/sim.script" <<'EOF'
wait-reset 60000
sleep 200
MCA55
MCK99
MCK00
MCG50
MCB60
MCB20
MCX99
MCX00
MCY99
MCY00
MCZ99
MCZ00
EOF
  start_sim "$dir" --script "$dir/sim.script" --hold || return 1
  start_probe "$dir"
  # Exit only once every packet has come through, or it could overtake them.
  wait_for_keys "$dir" 16 || true
  echo exit >"$dir/commands"
  finish_probe "$dir"
  stop_sim
  # Synchronising on MCA50 holds keypad 0 and lets go of position 0's key;
  # each lever move presses the new key before releasing the old; Exit lets go
  # of the key the lever still holds.
  local keys="press 52
release 07
press 02
release 52
press 39
release 39
press 07
release 02
press 49
release 07
press 39
release 39
press 1c
release 1c
press 01
release 01"
  expect_file "$dir/probe.out" "$keys
menu exit
release 49
exit 0" "probe output" || return 1
  # The foreground window saw them as key messages up to the menu, which
  # takes the foreground to notchkey's own window.
  expect_file "$dir/window.out" "$keys" "window key messages" || return 1
  expect_log "$dir/notchkey.log" both
}

scenario_no_driver() {
  local dir=$1
  write_ini "$dir" COM5 "" "$(winpath "$dir/notchkey.log")"
  start_probe "$dir"
  finish_probe "$dir"
  expect_file "$dir/probe.out" "box can't open keytap.vxd.
exit -1" "probe output" || return 1
  expect_log "$dir/notchkey.log" started
}

scenario_log_dir_missing() {
  local dir=$1
  write_ini "$dir" COM5 sendinput "$(winpath "$dir/no-such-dir/notchkey.log")"
  start_probe "$dir"
  finish_probe "$dir"
  expect_file "$dir/probe.out" "box can't open log file.
exit -1" "probe output" || return 1
  expect_log "$dir/no-such-dir/notchkey.log" none || return 1
  [ ! -e "$dir/no-such-dir" ] || fail "the missing log directory was made"
}

# Also the screenshot: the box stays up long enough to be photographed.
scenario_invalid_port() {
  local dir=$1
  write_ini "$dir" COM9 sendinput "$(winpath "$dir/notchkey.log")"
  start_probe "$dir" --box-delay 2500
  local shot_ok=1
  if wait_for_line "$dir" '^box ' 60; then
    # Time for the box to be drawn.
    sleep 0.8
    mkdir -p "$(dirname "$shot")"
    # No time stamps in the file: the same picture gives the same bytes.
    if import -display "$DISPLAY" -window root -strip -define png:exclude-chunks=date,time \
      "png:$shot" >"$dir/import.log" 2>&1; then
      shot_ok=0
    fi
  fi
  finish_probe "$dir"
  expect_file "$dir/probe.out" "box COM9 is invalid COM port.
exit 0" "probe output" || return 1
  expect_log "$dir/notchkey.log" both || return 1
  [ "$shot_ok" -eq 0 ] || { fail "no screenshot: $(tail -n 1 "$dir/import.log")"; return 1; }
  mkdir -p "$(dirname "$shot_docs")"
  cmp -s "$shot" "$shot_docs" || cp "$shot" "$shot_docs"
}

scenario_silent_mascon() {
  local dir=$1
  write_ini "$dir" COM5 sendinput "$(winpath "$dir/notchkey.log")"
  start_sim "$dir" --silent --hold </dev/null || return 1
  start_probe "$dir"
  finish_probe "$dir"
  stop_sim
  expect_file "$dir/probe.out" "box There is no mascon on COM5.
exit 0" "probe output" || return 1
  expect_log "$dir/notchkey.log" both
}

scenario_invalid_message() {
  local dir=$1
  write_ini "$dir" COM5 sendinput "$(winpath "$dir/notchkey.log")"
  printf 'wait-reset 60000\nsleep 200\nMCA55\nmca55\n' >"$dir/sim.script"
  start_sim "$dir" --script "$dir/sim.script" --hold || return 1
  start_probe "$dir"
  finish_probe "$dir"
  stop_sim
  expect_file "$dir/probe.out" "press 52
release 07
press 02
release 52
box Invalid message from mascon
release 02
exit 0" "probe output" || return 1
  expect_log "$dir/notchkey.log" both
}

# Exit right after start. The worker must not be racing the menu: a silent
# mascon is given up on within a fraction of a second under Wine, so this one
# answers, and Exit is asked for once the two start-up key events are in; the
# worker then waits in its read for a message that never comes.
scenario_menu_exit() {
  local dir=$1
  write_ini "$dir" COM5 sendinput "$(winpath "$dir/notchkey.log")"
  start_sim "$dir" --hold </dev/null || return 1
  start_probe "$dir"
  wait_for_keys "$dir" 2 || true
  echo exit >"$dir/commands"
  finish_probe "$dir"
  stop_sim
  expect_file "$dir/probe.out" "press 52
release 07
menu exit
release 52
exit 0" "probe output" || return 1
  expect_log "$dir/notchkey.log" both
}

scenarios=(ride no-driver log-dir-missing invalid-port silent-mascon invalid-message menu-exit)
if [ $# -gt 0 ]; then
  for name in "$@"; do
    [[ " ${scenarios[*]} " == *" $name "* ]] || {
      echo "run.sh: no scenario '$name' (have: ${scenarios[*]})" >&2
      exit 2
    }
  done
  scenarios=("$@")
fi

passed=0
failed=0
scenarios_started=$SECONDS
for name in "${scenarios[@]}"; do
  # Each scenario is bounded; this bounds their sum, for a run under 5 minutes.
  if ((SECONDS - scenarios_started > 180)); then
    echo "FAIL $name: not run, the run's time is up"
    failed=$((failed + 1))
    continue
  fi
  dir=$tmp/$((passed + failed + 1))-$name
  mkdir "$dir"
  why=
  details=
  if "scenario_${name//-/_}" "$dir" && [ -z "$why" ]; then
    echo "ok   $name"
    passed=$((passed + 1))
  else
    stop_sim
    [ -n "$probe_pid" ] && { stop_pid "$probe_pid"; probe_pid=; }
    echo "FAIL $name: ${why:-failed}"
    {
      [ -n "$details" ] && printf '%s' "$details"
      for f in probe.out window.out sim.out; do
        [ -s "$dir/$f" ] && { echo "-- $f:"; tail -n 30 "$dir/$f"; }
      done
      true
    } | sed 's/^/    /'
    failed=$((failed + 1))
  fi
done

echo "$(wine --version 2>/dev/null), $((SECONDS - started))s in all"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
