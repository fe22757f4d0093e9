#!/usr/bin/env bash
# Builds both programs and packs the release archives into dist/:
#   notchkey-VERSION-win32.zip            notchkey.exe, notchkey.ini, README.txt
#   notchkey-VERSION-linux-x86_64.tar.gz  bin/, notchkey.ini, the udev rules, the user
#                                         service, README.txt, INSTALL.txt
# The guides (README.txt, INSTALL.txt) are made from docs/manual.md, each from the
# parts marked for its readers (packaging/md2txt.py).
# VERSION comes from the file VERSION. Archive order and times are fixed (the
# last commit's time, or SOURCE_DATE_EPOCH), so the same binaries pack into
# the same bytes.
#
# usage: scripts/package.sh [--no-build] [--dist DIR]
#   --no-build  pack what build/ and build-win/ hold (scripts/build.sh made them)
#   --dist DIR  write the archives to DIR instead of dist/
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

build=1
dist=$root/dist
while [ $# -gt 0 ]; do
  case $1 in
    --no-build) build=0 ;;
    --dist)
      [ $# -ge 2 ] || { echo "package: --dist needs a folder" >&2; exit 2; }
      dist=$2
      shift
      ;;
    *) echo "usage: scripts/package.sh [--no-build] [--dist DIR]" >&2; exit 2 ;;
  esac
  shift
done

version=$(tr -d ' \t\r\n' <VERSION)
if ! [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
  echo "package: VERSION holds '$version', not MAJOR.MINOR.PATCH" >&2
  exit 1
fi

# zip and unzip come with the build's packages.
scripts/deps.sh

if [ "$build" -eq 1 ]; then
  scripts/build.sh
fi
exe=build-win/notchkey.exe
linux_bins=(build/notchkey build/tools/mascon-sim)
for f in "$exe" "${linux_bins[@]}"; do
  [ -f "$f" ] || { echo "package: $f is missing; run scripts/build.sh" >&2; exit 1; }
done

if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
  epoch=$SOURCE_DATE_EPOCH
elif epoch=$(git log -1 --format=%ct 2>/dev/null) && [ -n "$epoch" ]; then
  :
else
  epoch=$(date +%s)
fi
# Zip stores local time: one zone for every run.
export TZ=UTC
umask 022

name=notchkey-$version
work=$(mktemp -d "${TMPDIR:-/tmp}/notchkey-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$dist"
dist=$(cd "$dist" && pwd)

# packaging/notchkey.ini for one system: the other system's parts, between
# ";; only: SYSTEM" and ";; end", left out, and the marks with them.
ini_for() {
  local other=linux
  [ "$1" = linux ] && other=windows
  sed -e 's/\r$//' -e "/^;; only: $other\$/,/^;; end\$/d" -e '/^;; \(only: [a-z]*\|end\)$/d' \
    packaging/notchkey.ini
}

# Every archive member gets the same time and plain permissions.
settle() {
  find "$1" -exec touch -h -d "@$epoch" {} +
}

# --- Windows ------------------------------------------------------------------
win=$work/win/$name
mkdir -p "$win"
cp "$exe" "$win/notchkey.exe"
chmod 755 "$win/notchkey.exe"
ini_for windows | sed 's/$/\r/' >"$win/notchkey.ini"
python3 packaging/md2txt.py --for windows --title "notchkey $version for Windows" \
  docs/manual.md "$win/README.txt"
if [ -f LICENSE ]; then
  sed 's/\r$//; s/$/\r/' LICENSE >"$win/LICENSE.txt"
fi
chmod 644 "$win"/*.ini "$win"/*.txt
settle "$work/win"
zip_path=$dist/$name-win32.zip
rm -f "$zip_path"
(cd "$work/win" && find "$name" | LC_ALL=C sort | zip -q -X -9 "$zip_path" -@)

# --- Linux --------------------------------------------------------------------
lin=$work/linux/$name
mkdir -p "$lin/bin"
for f in "${linux_bins[@]}"; do
  strip -o "$lin/bin/$(basename "$f")" "$f"
  chmod 755 "$lin/bin/$(basename "$f")"
done
# The example settings choose SendInput for Windows; Linux keeps the default,
# the driver, which "Try it" and the service's examples show.
ini_for linux | sed 's/^injector=sendinput$/injector=driver/' >"$lin/notchkey.ini"
grep -qx 'injector=driver' "$lin/notchkey.ini" || { echo "package: no injector line in packaging/notchkey.ini" >&2; exit 1; }
cp packaging/99-notchkey-uinput.rules packaging/99-notchkey-mascon.rules \
  packaging/notchkey@.service "$lin/"
python3 packaging/md2txt.py --for linux --lf --title "notchkey $version for Linux (x86_64)" \
  docs/manual.md "$lin/README.txt"
python3 packaging/md2txt.py --for install --lf --title "notchkey $version for Linux (x86_64)" \
  docs/manual.md "$lin/INSTALL.txt"
chmod 644 "$lin/notchkey.ini" "$lin"/*.rules "$lin"/*.service "$lin"/*.txt
settle "$work/linux"
tar_path=$dist/$name-linux-x86_64.tar.gz
(cd "$work/linux" && tar --sort=name --format=gnu --owner=0 --group=0 --numeric-owner \
  --mtime="@$epoch" -cf - "$name") | gzip -n -9 >"$tar_path"

for f in "$zip_path" "$tar_path"; do
  printf '%s  %s bytes\n' "${f#"$root"/}" "$(stat -c %s "$f")"
done
