#!/usr/bin/env bash
# mascon-sim --interactive played as a person would: keys typed into an 80x24
# tmux window and the screen read back, with the real notchkey as the host and
# its key packets read from the capture driver; then on a stand-in serial port,
# whose settings must come back as they were. Needs tmux.
# usage: check_interactive_sim.sh [NOTCHKEY MASCON_SIM]   (default: those of build/)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/lib.sh
[ $# -eq 2 ] && export NOTCHKEY_PROGRAM=$1 MASCON_SIM_PROGRAM=$2
find_programs "$root"
py=/usr/bin/python3

if ! command -v tmux >/dev/null 2>&1; then
  echo "check_interactive_sim: tmux is missing (Debian package tmux)" >&2
  exit 1
fi
for f in "$sim" "$notchkey"; do
  [ -x "$f" ] || { echo "check_interactive_sim: $f is missing; build first" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/check-interactive.XXXXXX")
sock=notchkey-check-$$
dev=$work/dev
home=$work/home
capture=$dev/keytap.vxd
mkdir "$dev" "$home"
nk_pid=

# A private server without the user's configuration, reachable from inside tmux too.
t() { env -u TMUX tmux -L "$sock" -f /dev/null "$@"; }

cleanup() {
  set +e
  [ -n "$nk_pid" ] && kill -KILL "$nk_pid" 2>/dev/null
  t kill-server 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

screen() { t capture-pane -p -t sim; }

fail() {
  echo "check_interactive_sim: FAIL: $*" >&2
  echo "--- screen:" >&2
  screen >&2 || true
  echo "--- packets:" >&2
  cat "$capture" >&2 || true
  echo "--- notchkey's stderr:" >&2
  cat "$work/nk.err" >&2 2>/dev/null || true
  exit 1
}

ok() { echo "ok $*"; }

shows() { screen | grep -qF -- "$1"; }
packets_are() { [ "$(paste -sd, "$capture")" = "$1" ]; }

# Types a key and waits for the screen line and the packets it must lead to.
press() {
  local key=$1 line=$2 want=$3
  t send-keys -t sim "$key"
  eventually 5 shows "$line" || fail "after $key the screen lacks '$line'"
  eventually 5 packets_are "$want" || fail "after $key the packets are not $want"
}

start_notchkey() {
  (cd "$home" && NOTCHKEY_DEVICES=$dev exec "$notchkey") </dev/null 2>"$work/nk.err" &
  nk_pid=$!
}

stop_notchkey() {
  local code=0
  kill -TERM "$nk_pid"
  wait "$nk_pid" || code=$?
  nk_pid=
  [ "$code" -eq 0 ] || fail "notchkey ended with $code on SIGTERM"
}

# ---------------------------------------------------------------- a pseudo-terminal and notchkey

: >"$capture"
printf '[config]\r\nport=COM3\r\n' >"$home/notchkey.ini"
t new-session -d -s sim -x 80 -y 24 \
  "stty -g >'$work/tty.before'; '$sim' --interactive --dir '$dev' --com 3 2>'$work/sim.err';
   echo \$? >'$work/sim.code'; stty -g >'$work/tty.after'; sleep 60"

eventually 5 shows "> 6  MCA50 <" || fail "the lever is not shown at MCA50"
eventually 5 shows "linked as $dev/com3" || fail "the device path is not shown"
[ -L "$dev/com3" ] || fail "no link $dev/com3"
ok "starts with the lever at MCA50 and shows the line"

start_notchkey
eventually 5 packets_are "52 87" || fail "notchkey's first packet is not 52 87"
eventually 5 shows "RESETs from the host: 1" || fail "the RESET is not counted"
shows "> MCA50 MCG00  answer" || fail "the answer is not logged"
ok "RESET answered with the lever and G-state, and logged"

press Up "> 5  MCA55 <" "52 87,02 d2"
press Down "> 6  MCA50 <" "52 87,02 d2,52 82"
screen | grep -qF "> MCA55  lever 5" || fail "the move is not logged"
ok "Up and Down move the lever one position"

press Home "> 0  MCB60 <" "52 87,02 d2,52 82,07 d2"
press End ">15  MCB20 <" "52 87,02 d2,52 82,07 d2,49 87"
press PPage "> 0  MCB60 <" "52 87,02 d2,52 82,07 d2,49 87,07 c9"
press NPage ">15  MCB20 <" "52 87,02 d2,52 82,07 d2,49 87,07 c9,49 87"
ok "Home, End, PgUp and PgDn reach the extremes with one message each"

: >"$capture"
press k "K  pressed" "39"
press k "K  released" "39,b9"
press Y "Y  pressed" "39,b9,1c"
press y "Y  released" "39,b9,1c,9c"
ok "k and Y toggle their buttons: pressed, then released"

t send-keys -t sim g
eventually 5 shows "> MCG99 <" || fail "g does not show MCG99"
t send-keys -t sim g
eventually 5 shows "> MCG50 <" || fail "a second g does not show MCG50"
eventually 5 shows "> MCG50  G-state" || fail "the G-state message is not logged"
# The lever's message sent after them arrives with nothing before it.
press r "lever 15 again" "39,b9,1c,9c,49 c9"
ok "g cycles the G-state on screen and makes no key"

# Another start of notchkey must find the lever and G-state where they are now.
stop_notchkey
: >"$capture"
start_notchkey
eventually 5 packets_are "49 87" || fail "after a restart notchkey did not find the lever at MCB20"
eventually 5 shows "> MCB20 MCG50  answer" || fail "the second answer is not logged"
shows "RESETs from the host: 2" || fail "the second RESET is not counted"
stop_notchkey
ok "a later RESET is answered with the lever and G-state of the moment"

t send-keys -t sim q
eventually 5 test -s "$work/sim.code" || fail "q did not end mascon-sim"
[ "$(cat "$work/sim.code")" = 0 ] || fail "mascon-sim ended with $(cat "$work/sim.code")"
[ ! -e "$dev/com3" ] && [ ! -L "$dev/com3" ] || fail "the link is left behind"
[ ! -s "$work/sim.err" ] || fail "mascon-sim complained: $(cat "$work/sim.err")"
eventually 5 test -s "$work/tty.after" || fail "the pane's shell did not go on"
cmp -s "$work/tty.before" "$work/tty.after" || fail "the terminal's settings were not restored"
ok "q quits with code 0, restores the terminal and removes the link"
t kill-session -t sim

# ---------------------------------------------------------------- a serial port

# A pseudo-terminal stands in for the port: the script holds both ends, so
# it sees the settings the simulator leaves behind.
SOCK=$sock SIM=$sim WORK=$work "$py" - <<'EOF' || fail "the port run failed"
import os, select, subprocess, sys, termios, time

def tmux(*args):
    env = dict(os.environ)
    env.pop("TMUX", None)
    return subprocess.run(["tmux", "-L", os.environ["SOCK"], "-f", "/dev/null"] + list(args),
                          env=env, check=True, capture_output=True, text=True).stdout

def eventually(test, what):
    end = time.monotonic() + 5
    while time.monotonic() < end:
        if test():
            return
        time.sleep(0.02)
    sys.exit("check_interactive_sim: FAIL: " + what + "\n" + tmux("capture-pane", "-p", "-t", "sim"))

def take(fd, want):
    got = b""
    end = time.monotonic() + 5
    while len(got) < want and time.monotonic() < end:
        if select.select([fd], [], [], 0.1)[0]:
            got += os.read(fd, want - len(got))
    return got

host, port = os.openpty()
path = os.ttyname(port)
before = termios.tcgetattr(port)
code = os.path.join(os.environ["WORK"], "port.code")
tmux("new-session", "-d", "-s", "sim", "-x", "80", "-y", "24",
     "'%s' -i --port '%s' --lever MCA45 --gstate MCG99 2>/dev/null; echo $? >'%s'; sleep 60"
     % (os.environ["SIM"], path, code))
shows = lambda text: text in tmux("capture-pane", "-p", "-t", "sim")
eventually(lambda: shows("port %s, 19200 baud 8N1" % path), "the port is not shown")

iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(port)
if ((ispeed, ospeed) != (termios.B19200, termios.B19200)
        or (cflag & (termios.CSIZE | termios.PARENB | termios.CSTOPB)) != termios.CS8
        or lflag & (termios.ICANON | termios.ECHO | termios.ISIG)):
    sys.exit("check_interactive_sim: FAIL: the port is not raw 19200 baud 8N1")
print("ok the port is set to raw 19200 baud 8N1")

os.write(host, b"RESET\r")
got = take(host, 12)
if got != b"MCA45\rMCG99\r":
    sys.exit("check_interactive_sim: FAIL: the port answered RESET with %r" % got)
tmux("send-keys", "-t", "sim", "Down", "z")
got = take(host, 12)
if got != b"MCA35\rMCZ99\r":
    sys.exit("check_interactive_sim: FAIL: Down and z sent %r" % got)
os.write(host, b"RESET\r")
got = take(host, 12)
if got != b"MCA35\rMCG99\r":
    sys.exit("check_interactive_sim: FAIL: the second RESET was answered with %r" % got)
print("ok the port answers RESET with the lever of the moment and carries the keys")

tmux("send-keys", "-t", "sim", "C-c")
eventually(lambda: os.path.exists(code) and open(code).read().strip() != "", "Ctrl-C did not end it")
if open(code).read().strip() != "0":
    sys.exit("check_interactive_sim: FAIL: ended with " + open(code).read().strip())
if termios.tcgetattr(port) != before:
    sys.exit("check_interactive_sim: FAIL: the port's settings were not restored")
print("ok Ctrl-C quits with code 0 and the port's settings are restored")
tmux("kill-session", "-t", "sim")
EOF

# ---------------------------------------------------------------- a small window, then SIGTERM

# The pane's shell execs mascon-sim under its own pid, so it can be signalled.
t new-session -d -s sim -x 50 -y 12 \
  "sh -c 'echo \$\$ >\"\$0\"; exec \"\$@\"' '$work/small.pid' '$sim' --interactive --dir '$dev' --com 4 \
   2>'$work/small.err'; echo \$? >'$work/small.code'; sleep 60"
eventually 5 shows "lever 6 MCA50" || fail "the small window shows no lever"
t send-keys -t sim Up k
eventually 5 shows "lever 5 MCA55  K* X- Y- Z- MCG00" || fail "keys do nothing in a small window"
t resize-window -t sim -x 80 -y 24
eventually 5 shows "> 5  MCA55 <" || fail "the full picture does not come back on resize"
shows "K  pressed" || fail "the button state is lost on resize"
ok "a small window still takes keys and a resize brings the full picture back"

[ -L "$dev/com4" ] || fail "no link $dev/com4"
kill -TERM "$(cat "$work/small.pid")"
eventually 5 test -s "$work/small.code" || fail "SIGTERM did not end mascon-sim"
[ "$(cat "$work/small.code")" = 0 ] || fail "mascon-sim ended with $(cat "$work/small.code") on SIGTERM"
[ ! -L "$dev/com4" ] || fail "the link is left behind after SIGTERM"
ok "SIGTERM ends it with code 0 and removes the link"
