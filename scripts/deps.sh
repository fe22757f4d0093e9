#!/usr/bin/env bash
# Installs from Debian's packages whatever the builds and the tests need and the
# machine lacks. As root it installs; otherwise it names what is missing.
#
#   scripts/deps.sh [WHAT=PACKAGE ...]
#
# A command with needs of its own names them too: WHAT is a command or an
# absolute path that PACKAGE provides.
set -euo pipefail

missing=()
need() { # need COMMAND-OR-FILE PACKAGE
  if [[ $1 == /* ]]; then [ -e "$1" ] || missing+=("$2"); else command -v "$1" >/dev/null 2>&1 || missing+=("$2"); fi
}
# The native build and its tests.
need cmake cmake
need g++ g++
need ninja ninja-build
need /usr/include/gtest/gtest.h libgtest-dev
need /usr/include/gmock/gmock.h libgmock-dev
need /usr/include/benchmark/benchmark.h libbenchmark-dev
# The native layer's libraries: the virtual keyboard, desktop notifications.
need pkg-config pkg-config
need /usr/include/libevdev-1.0/libevdev/libevdev-uinput.h libevdev-dev
need /usr/include/systemd/sd-bus.h libsystemd-dev
# The Windows build: the cross compiler, and python3 to draw the icon.
need i686-w64-mingw32-g++-win32 g++-mingw-w64-i686
need /usr/bin/python3 python3
# mascon-sim's interactive mode, and tmux to test it as a person would.
need /usr/include/curses.h libncurses-dev
need tmux tmux
# Packages.
need zip zip
need unzip unzip
for extra in "$@"; do
  need "${extra%%=*}" "${extra#*=}"
done

[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "notchkey: missing Debian packages: ${missing[*]}" >&2
  echo "notchkey: install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "notchkey: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# 32-bit packages (Wine's, for a 32-bit program) need their architecture first.
if [[ " ${missing[*]}" == *:i386* ]] && [ "$(dpkg --print-architecture)" = amd64 ] &&
  ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
# A mirror caught mid-sync fails an index for hours ("Mirror sync in
# progress?"), often one architecture's of one suite only. Retry, then go on
# with the indexes that did come: the install below says whether they serve.
updated=0
for try in 1 2 3; do
  if apt-get update -q -o Acquire::Retries=3; then updated=1; break; fi
  [ "$try" -lt 3 ] && sleep $((try * 5))
done
[ "$updated" = 1 ] || echo "notchkey: apt-get update failed 3 times; installing from the indexes it has" >&2
install=(apt-get install -y -q --no-install-recommends)
if "${install[@]}" "${missing[@]}"; then
  echo "notchkey: installed ${missing[*]} from the current suites"
  exit 0
fi
# With one architecture's security index missing, the other's libraries are
# newer than the 32-bit ones can match (Multi-Arch: same wants both alike):
# take every package from the release's own suite instead.
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
if [ -n "$codename" ] && "${install[@]}" -t "$codename" "${missing[@]}"; then
  echo "notchkey: installed ${missing[*]} from the release's own suite ($codename), the current suites would not install"
  exit 0
fi
echo "notchkey: could not install ${missing[*]}" >&2
exit 1
