#!/usr/bin/env bash
# Builds both programs: the native one with mascon-sim and the tests under
# build/, and notchkey.exe for 32-bit Windows under build-win/.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
cmake --build build-win
echo "notchkey: build/notchkey, build/tools/mascon-sim, build-win/notchkey.exe ($(stat -c %s build-win/notchkey.exe) bytes)"
