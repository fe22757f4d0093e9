#!/usr/bin/env bash
# Builds both programs: the native one with mascon-sim and the tests under
# build/, and notchkey.exe for 32-bit Windows under build-win/.
#
#   scripts/build.sh             everything
#   scripts/build.sh TARGET...   only these native targets (the demo's:
#                                notchkey mascon-sim), no Windows build
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if [ $# -gt 0 ]; then
  cmake --build build --target "$@"
  exit 0
fi
cmake --build build
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
cmake --build build-win
echo "notchkey: build/notchkey, build/tools/mascon-sim, build-win/notchkey.exe ($(stat -c %s build-win/notchkey.exe) bytes)"
