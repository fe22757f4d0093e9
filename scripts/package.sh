#!/usr/bin/env bash
# Builds both programs and packs the releases into dist/:
#   notchkey-VERSION-setup.exe            the Windows installer (packaging/notchkey.nsi):
#                                         what the zip holds, installed per user
#   notchkey-VERSION-win32.zip            notchkey.exe, notchkey.ini, README.txt
#   notchkey_VERSION_amd64.deb            the Linux programs in /usr/bin, the udev rules,
#                                         the user service, the guides and an example
#                                         notchkey.ini in /usr/share/doc/notchkey
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

# zip comes with the build's packages; makensis makes the installer,
# dpkg-shlibdeps works out the .deb's dependencies.
scripts/deps.sh makensis=nsis dpkg-shlibdeps=dpkg-dev

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

# The packager's name in the .deb and its changelog; the address is a
# placeholder until the project has one of its own.
maintainer=${NOTCHKEY_MAINTAINER:-notchkey developers <notchkey@example.org>}

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

# The installer installs what the zip holds.
setup_path=$dist/$name-setup.exe
packaging/make_installer.sh "$version" "$win" build-win/notchkey.ico "$setup_path"

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

# --- Debian package -----------------------------------------------------------
# The tarball's files where a package puts them. The mascon's rule goes in as
# the template it is (it names no adapter, so it matches nothing): the user's
# copy with the adapter's name, /etc/udev/rules.d/99-notchkey-mascon.rules,
# takes its place, as udev reads a file in /etc instead of one of the same
# name in /usr/lib.
arch=$(dpkg --print-architecture)
deb=$work/deb
doc=$deb/usr/share/doc/notchkey
install -d "$deb/DEBIAN" "$deb/usr/bin" "$deb/usr/lib/udev/rules.d" "$deb/usr/lib/systemd/user" \
  "$deb/usr/lib/modules-load.d" "$doc"
install -m 755 "$lin"/bin/* "$deb/usr/bin/"
install -m 644 "$lin"/*.rules "$deb/usr/lib/udev/rules.d/"
sed 's|^ExecStart=%h/.local/bin/notchkey$|ExecStart=/usr/bin/notchkey|' "$lin/notchkey@.service" \
  >"$deb/usr/lib/systemd/user/notchkey@.service"
grep -qx 'ExecStart=/usr/bin/notchkey' "$deb/usr/lib/systemd/user/notchkey@.service" ||
  { echo "package: notchkey@.service starts no ~/.local/bin/notchkey to point at /usr/bin" >&2; exit 1; }
install -m 644 packaging/deb/uinput.conf "$deb/usr/lib/modules-load.d/notchkey.conf"
install -m 644 "$lin/notchkey.ini" "$lin/README.txt" "$lin/INSTALL.txt" "$doc/"
printf '%s\n' "notchkey ($version) unstable; urgency=medium" "" "  * Release $version." "" \
  " -- $maintainer  $(date -u -R -d "@$epoch")" | gzip -n -9 >"$doc/changelog.gz"
{
  printf '%s\n' "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" \
    "Upstream-Name: notchkey" "" "Files: *" "Copyright: $(date -u -d "@$epoch" +%Y) notchkey developers"
  if [ -f LICENSE ]; then
    echo "License: see below"
    sed -e 's/\r$//' -e 's/^$/./' -e 's/^/ /' LICENSE
  else
    printf '%s\n' "License: none-chosen" \
      " The developers have chosen no licence yet (the source has no LICENSE);" \
      " this file says so rather than name one."
  fi
} >"$doc/copyright"
install -D -m 644 packaging/deb/notchkey.lintian-overrides "$deb/usr/share/lintian/overrides/notchkey"
install -m 755 packaging/deb/postinst packaging/deb/postrm "$deb/DEBIAN/"
# dpkg-shlibdeps reads the package's name from a debian/control of its own.
mkdir -p "$work/shlibs/debian"
printf 'Source: notchkey\n\nPackage: notchkey\nArchitecture: any\n' >"$work/shlibs/debian/control"
depends=$(cd "$work/shlibs" &&
  dpkg-shlibdeps -O -e"$deb/usr/bin/notchkey" -e"$deb/usr/bin/mascon-sim" 2>"$work/shlibs.log") ||
  { cat "$work/shlibs.log" >&2; echo "package: dpkg-shlibdeps failed" >&2; exit 1; }
cat >"$deb/DEBIAN/control" <<EOF
Package: notchkey
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$deb" | cut -f1)
Depends: ${depends#shlibs:Depends=}
Section: utils
Priority: optional
Description: train master controller (mascon) as key strokes for train simulators
 notchkey turns the messages of a train master controller, the mascon, on a
 serial port into key strokes on a virtual keyboard, so that a train
 simulator played with the keyboard is driven with the mascon's lever and
 buttons. Told the name of the mascon's USB serial adapter, it starts by
 itself whenever the adapter is plugged in.
 .
 mascon-sim plays a mascon on a pseudo-terminal, to try notchkey without one.
EOF
(cd "$deb" && find usr -type f | LC_ALL=C sort | xargs md5sum) >"$deb/DEBIAN/md5sums"
chmod 644 "$deb/DEBIAN/control" "$deb/DEBIAN/md5sums"
settle "$deb"
deb_path=$dist/notchkey_${version}_$arch.deb
SOURCE_DATE_EPOCH=$epoch dpkg-deb --root-owner-group -Zxz --build "$deb" "$deb_path" >/dev/null

for f in "$setup_path" "$zip_path" "$deb_path" "$tar_path"; do
  printf '%s  %s bytes\n' "${f#"$root"/}" "$(stat -c %s "$f")"
done
