#!/usr/bin/env bash
# Refreshes the manual's picture, docs/wine-messagebox.png: the Wine desk's
# scenario of a port that does not exist photographs notchkey.exe's box (into
# build-win/wine/, as every run of it does), and the picture is copied here.
set -euo pipefail
cd "$(dirname "$0")/.."
shot=build-win/wine/messagebox.png
rm -f "$shot"
tests/e2e/run.sh -q -k "port_that_does_not_exist and wine"
[ -f "$shot" ] || { echo "screenshot: no picture was taken" >&2; exit 1; }
cp "$shot" docs/wine-messagebox.png
echo "screenshot: docs/wine-messagebox.png ($(stat -c %s docs/wine-messagebox.png) bytes)"
