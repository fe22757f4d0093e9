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
# The Wine desk runs notchkey.exe as shipped, for 32-bit Windows; a kernel that
# runs no 32-bit programs (IA-32 emulation off) gets the same program built for
# 64-bit Windows under wine64 instead.
wine_args=()
if /usr/bin/python3 tests/e2e/i386.py >/dev/null; then
  wine_needs=(/usr/lib/wine/wine=wine32:i386)
else
  wine_needs=(/usr/lib/wine/wine64=wine64 x86_64-w64-mingw32-g++-win32=g++-mingw-w64-x86-64-win32)
  wine_args=(--exe build-win64/notchkey.exe --probe build-win64/tests/wine/probe.exe
    --wine /usr/lib/wine/wine64)
  echo "notchkey: this kernel runs no 32-bit programs: the Wine desk runs notchkey.exe built for x86-64, under wine64"
fi
scripts/deps.sh wine=wine "${wine_needs[@]}" Xvfb=xvfb import=imagemagick \
  /usr/share/wine/fonts/marlett.ttf=fonts-wine ||
  echo "notchkey: the Wine desk's scenarios will say why they are skipped"
scripts/build.sh >/dev/null
if [ ${#wine_args[@]} -gt 0 ] && command -v x86_64-w64-mingw32-g++-win32 >/dev/null; then
  cmake -S . -B build-win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
  cmake --build build-win64 >/dev/null
fi
# Debian's python3, which has Debian's pytest, whatever python3 is first on PATH;
# nothing written into the source tree.
export PYTHONDONTWRITEBYTECODE=1
exec /usr/bin/python3 -m pytest tests/e2e -rs -p no:cacheprovider "${wine_args[@]}" "$@"
