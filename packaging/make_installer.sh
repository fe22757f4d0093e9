#!/usr/bin/env bash
# The Windows installer of the files in FILES (the zip's), from
# packaging/notchkey.nsi; makensis's warnings are errors.
#
#   packaging/make_installer.sh VERSION FILES ICON OUT [TARGET]
#
# TARGET is makensis's (the shipped installer is 32-bit, x86-unicode); the
# package check makes one for amd64-unicode where the kernel runs no 32-bit code.
set -euo pipefail
[ $# -ge 4 ] || { echo "usage: packaging/make_installer.sh VERSION FILES ICON OUT [TARGET]" >&2; exit 2; }
target=()
[ -n "${5:-}" ] && target=(-DTARGET="$5")
log=$(mktemp)
trap 'rm -f "$log"' EXIT
makensis -V2 -WX -NOCD -DVERSION="$1" -DFILES="$2" -DICON="$3" -DOUTFILE="$4" "${target[@]}" \
  "$(dirname "$0")/notchkey.nsi" >"$log" 2>&1 ||
  { cat "$log" >&2; echo "make_installer: makensis failed" >&2; exit 1; }
