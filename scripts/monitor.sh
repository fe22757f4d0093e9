#!/usr/bin/env bash
# Watches the keys notchkey injects, before any simulator is involved.
#
# usage: scripts/monitor.sh DIR
#
# Makes DIR/keytap.vxd a FIFO and prints every key packet notchkey sends to it
# as named key events with the time of day, to the millisecond, e.g.
#   14:02:07.415 press 1
#   14:02:07.415 release kp0
# With lever=step the holds and gaps of the steps show in the times, e.g.
#   14:02:09.101 press a
#   14:02:09.132 release a
# Start it first, then notchkey with NOTCHKEY_DEVICES=DIR (DIR/comN being
# the mascon's port, e.g. a link to /dev/ttyUSB0). It keeps watching across
# restarts of notchkey until Ctrl-C.
set -euo pipefail

if [ $# -ne 1 ] || [ "$1" = -h ] || [ "$1" = --help ]; then
  sed -n '4,15s/^# \{0,1\}//p' "$0" >&2
  exit 2
fi
dir=$1
fifo=$dir/keytap.vxd
mkdir -p "$dir"
if [ -e "$fifo" ] && [ ! -p "$fifo" ]; then
  echo "monitor: $fifo exists and is no FIFO; move it away first" >&2
  exit 1
fi
[ -p "$fifo" ] || mkfifo "$fifo"
echo "monitor: watching $fifo; start notchkey with NOTCHKEY_DEVICES=$dir" >&2

# Held open for reading and writing here, the FIFO always has a reader: a
# notchkey started the moment the last one ended is not refused, and one name
# printer sees every run. It waits in the background so that a signal is
# taken at once.
exec 3<>"$fifo"
/usr/bin/python3 "$(dirname "$0")/keynames.py" --clock <&3 3<&- &
reader=$!
trap 'kill "$reader" 2>/dev/null; exit 0' INT TERM HUP
wait "$reader"
