#!/usr/bin/env bash
# Refreshes the manual's picture of the tray on Linux, docs/linux-tray.png:
# Debian's Xfce panel on Xvfb, on a session bus of its own, with its status
# tray hosting the real notchkey (riding a simulated mascon) and the icon's
# menu opened with a click. Exit is then chosen in that menu, which must end
# notchkey in order: exit code 0, the held key let go.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/lib.sh

if [ -z "${NOTCHKEY_TRAY_BUS:-}" ]; then
  scripts/deps.sh Xvfb=xvfb xfce4-panel=xfce4-panel xdotool=xdotool import=imagemagick \
    dbus-run-session=dbus
  find_programs "$root"
  [ -x "$notchkey" ] && [ -x "$sim" ] || scripts/build.sh notchkey mascon-sim
  # The panel's own services (its settings, accessibility) start on demand
  # on a bus of this run's own, never on the desktop's of whoever runs it.
  NOTCHKEY_TRAY_BUS=1 exec dbus-run-session -- "$0" "$@"
fi

find_programs "$root"
tmp=$(mktemp -d "${TMPDIR:-/tmp}/notchkey-tray.XXXXXX")
pids=()
finish() {
  local code=$? pid
  for pid in "${pids[@]}"; do
    if [ -n "$pid" ]; then stop "$pid"; fi
  done
  rm -rf "$tmp"
  exit "$code"
}
trap finish EXIT

width=240
height=80
# The panel's settings: one panel along the top, its status tray at the right.
export HOME=$tmp/home XDG_CONFIG_HOME=$tmp/config XDG_CACHE_HOME=$tmp/cache
export XDG_DATA_HOME=$tmp/data NO_AT_BRIDGE=1
channel=$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml
mkdir -p "$HOME" "$channel"
# The panel's settings daemon starts on demand, with the bus's environment.
dbus-update-activation-environment HOME XDG_CONFIG_HOME XDG_CACHE_HOME XDG_DATA_HOME NO_AT_BRIDGE
cat >"$channel/xfce4-panel.xml" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="icon-size" type="uint" value="16"/>
      <property name="size" type="uint" value="28"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
        <value type="int" value="2"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="separator">
      <property name="expand" type="bool" value="true"/>
      <property name="style" type="uint" value="0"/>
    </property>
    <property name="plugin-2" type="string" value="systray">
      <property name="square-icons" type="bool" value="true"/>
    </property>
  </property>
</channel>
EOF

exec 5>"$tmp/display"
Xvfb -displayfd 5 -screen 0 ${width}x${height}x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
exec 5>&-
eventually 20 test -s "$tmp/display" || { echo "screenshot-tray: Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(head -n 1 "$tmp/display")

has_owner() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true'
}
xfce4-panel --disable-wm-check >"$tmp/panel.log" 2>&1 &
pids+=($!)
eventually 30 has_owner org.kde.StatusNotifierWatcher ||
  { echo "screenshot-tray: the panel's status tray never came" >&2; cat "$tmp/panel.log" >&2; exit 1; }

# notchkey on a simulated mascon: it answers, and the lever rests at neutral.
dev=$tmp/devices
mkdir "$dev"
: >"$dev/keytap.vxd"
mkdir "$tmp/home/ride"
printf '[config]\r\nport=COM2\r\n' >"$tmp/home/ride/notchkey.ini"
echo wait-reset | "$sim" --dir "$dev" --com 2 --hold >"$tmp/sim.log" 2>&1 &
pids+=($!)
eventually 20 test -e "$dev/com2" || { echo "screenshot-tray: no mascon" >&2; exit 1; }
(cd "$tmp/home/ride" && NOTCHKEY_DEVICES=$dev exec "$notchkey") >"$tmp/notchkey.log" 2>&1 &
nk=$!
pids+=($nk)

registered() {
  dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
    org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierWatcher \
    string:RegisteredStatusNotifierItems 2>/dev/null | grep -q "StatusNotifierItem-$nk-"
}
eventually 20 registered ||
  { echo "screenshot-tray: notchkey's icon never reached the tray" >&2; cat "$tmp/notchkey.log" >&2; exit 1; }

# Drawn once its square holds more than the panel's plain colour, and the
# menu open once the strip below the panel does.
colours() { import -window root -crop "$1" +repage -format %k info:; }
icon_x=$((width - 14))
eventually 20 eval '[ "$(colours 20x20+$((icon_x - 10))+4)" -gt 4 ]' ||
  { echo "screenshot-tray: the panel never drew the icon" >&2; exit 1; }
xdotool mousemove "$icon_x" 14 click 1
eventually 20 eval '[ "$(colours 60x24+$((width - 70))+32)" -gt 2 ]' ||
  { echo "screenshot-tray: the icon's menu never opened" >&2; exit 1; }
import -window root "$tmp/tray.png"

# Exit, the menu's one item, right under the icon.
xdotool mousemove $((width - 40)) 44 click 1
eventually 20 eval '! alive "$nk"' || { echo "screenshot-tray: Exit did not end notchkey" >&2; exit 1; }
wait "$nk" && code=0 || code=$?
pids=("${pids[@]/$nk/}")
keys=$(tr '\n' ' ' <"$dev/keytap.vxd")
if [ "$code" -ne 0 ] || [ "$keys" != "52 87 d2 " ]; then
  echo "screenshot-tray: after Exit, exit code $code and keys '$keys' (expected 0 and '52 87 d2 ')" >&2
  exit 1
fi
cp "$tmp/tray.png" docs/linux-tray.png
echo "screenshot-tray: docs/linux-tray.png ($(stat -c %s docs/linux-tray.png) bytes); Exit ended notchkey with 0, its key let go"
