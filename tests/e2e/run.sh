#!/usr/bin/env bash
# Every end-to-end scenario on both desks: build/notchkey natively, and
# notchkey.exe under Wine on Xvfb with probe.exe as the simulator in the
# foreground. Each scenario is one pytest test per desk, e.g.
# test_silent_mascon[native] and test_silent_mascon[wine].
#
#   tests/e2e/run.sh                       every scenario on both desks
#   tests/e2e/run.sh -k wine               the Wine desk alone
#   tests/e2e/run.sh -k "line_gone"        one scenario, both desks
#   tests/e2e/run.sh -k native --native-binary build-asan/notchkey
#                                          the native desk on another build
#
# Installs the Debian packages the desks need when missing (as root), and
# builds both programs. Without Wine (not root to install it) the Wine desk's
# scenarios are skipped with the reason; with CI=true they fail instead.
# Screenshots of the Wine desk go to build-win/wine/.
set -euo pipefail
cd "$(dirname "$0")/../.."

scripts/deps.sh /usr/lib/python3/dist-packages/pytest/__init__.py=python3-pytest
# The native desk's desktop: a session bus and a notification server on it.
scripts/deps.sh dbus-daemon=dbus /usr/lib/python3/dist-packages/dbus/__init__.py=python3-dbus \
  /usr/lib/python3/dist-packages/gi/__init__.py=python3-gi
scripts/deps.sh wine=wine /usr/lib/wine/wine=wine32:i386 Xvfb=xvfb import=imagemagick \
  /usr/share/wine/fonts/marlett.ttf=fonts-wine ||
  echo "notchkey: the Wine desk's scenarios will say why they are skipped"
scripts/build.sh >/dev/null
# Debian's python3, which has Debian's pytest, whatever python3 is first on PATH;
# nothing written into the source tree.
export PYTHONDONTWRITEBYTECODE=1
exec /usr/bin/python3 -m pytest tests/e2e -rs -p no:cacheprovider "$@"
