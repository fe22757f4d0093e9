#!/usr/bin/env bash
# The start on plug-in: the systemd user unit as systemd reads it, and the
# udev rules as udev reads them (udevadm verify where this udev has it, the
# parser of udev_rules.py otherwise); the rule starts the unit that ships.
#   tests/check_units.sh [NOTCHKEY_BINARY]
set -euo pipefail
cd "$(dirname "$0")/.."
binary=$(readlink -f "${1:-build/notchkey}")
[ -x "$binary" ] || { echo "not ok - $binary is not built"; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/notchkey-units.XXXXXX")
trap 'rm -rf "$work"' EXIT
fails=0
ok() { echo "ok - $1"; }
not_ok() { echo "not ok - $1"; fails=$((fails + 1)); }

# A user's home with notchkey where the unit starts it, and the runtime folder
# a user manager has.
mkdir -p "$work/home/.local/bin" "$work/home/.config/notchkey" "$work/units" "$work/run"
chmod 700 "$work/run"
ln -s "$binary" "$work/home/.local/bin/notchkey"
cp packaging/notchkey@.service "$work/units/"
# systemd warns and goes on where a setting is wrong: any output is a fault.
if out=$(HOME=$work/home XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/home/.config \
    systemd-analyze --user verify --man=no "$work/units/notchkey@ttyUSB0.service" 2>&1) &&
  [ -z "$out" ]; then
  ok "notchkey@.service: systemd-analyze --user verify, no warnings"
else
  not_ok "notchkey@.service: systemd-analyze --user verify: $out"
fi
# And the check itself catches a fault.
sed 's/^Type=exec$/Type=exek/' packaging/notchkey@.service >"$work/units/notchkey@.service"
out=$(HOME=$work/home XDG_RUNTIME_DIR=$work/run systemd-analyze --user verify --man=no \
  "$work/units/notchkey@ttyUSB0.service" 2>&1) || true
[[ $out == *exek* ]] && ok "a wrong setting shows" || not_ok "Type=exek passed unseen: $out"

rules=(packaging/*.rules)
if udevadm verify --help >/dev/null 2>&1; then
  out=$(udevadm verify --resolve-names=never "${rules[@]}" 2>&1) && ok "udevadm verify ${rules[*]}" ||
    not_ok "udevadm verify: $out"
fi
out=$(/usr/bin/python3 tests/udev_rules.py "${rules[@]}") && ok "udev syntax of ${rules[*]}" ||
  not_ok "udev syntax: $out"
printf 'ACTION=="add" TAG+="systemd"\nENV="x"\n' >"$work/bad.rules"
out=$(/usr/bin/python3 tests/udev_rules.py "$work/bad.rules") || true
[ "$(wc -l <<<"$out")" -eq 2 ] && ok "a faulty rule shows" || not_ok "faulty rules passed: $out"

# The mascon's rule: a USB serial adapter's by-id name, and the unit that ships.
rule=$(grep -v '^#' packaging/99-notchkey-mascon.rules)
for part in 'ACTION=="add"' 'SUBSYSTEM=="tty"' 'SYMLINK=="serial/by-id/YOUR-ADAPTER"' \
  'TAG+="systemd"' 'ENV{SYSTEMD_USER_WANTS}+="notchkey@%k.service"'; do
  [[ $rule == *"$part"* ]] || not_ok "99-notchkey-mascon.rules lacks $part"
done
[ -f "packaging/$(sed -n 's/.*SYSTEMD_USER_WANTS}+="\([^@]*@\)%k.service".*/\1.service/p' <<<"$rule")" ] &&
  ok "the rule starts notchkey@.service, which ships" || not_ok "the rule's unit is not in packaging/"

[ "$fails" -eq 0 ]
