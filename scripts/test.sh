#!/usr/bin/env bash
# Builds from scratch if need be and runs every test: the native suite; the
# same under AddressSanitizer with UndefinedBehaviorSanitizer; the threaded
# tests under ThreadSanitizer; a short pass of each fuzzer; and notchkey.exe
# end to end under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh
ctest --test-dir build --output-on-failure -j "$(nproc)"
tests/check_packages.sh --no-build

for preset in asan tsan; do
  cmake --preset "$preset" >/dev/null
  cmake --build "build-$preset"
done
# The script-driven checks run the native build's programs whichever build
# runs them, so they are left to the first run.
ctest --test-dir build-asan --output-on-failure -j "$(nproc)" -L gtest
# The threads: the worker, the user-interface thread, and terminating the
# worker, in process and in the real program (timed fault tests left out: the
# sanitizer slows the program down many times).
ctest --test-dir build-tsan --output-on-failure -j "$(nproc)" -L gtest \
  -R '^(Threads|Messages|Worker|SyncFailure|TrayWindow|WorkerFailure)\.|^Program\.(Ride|CommandLine|NoDriver)'

# Long runs are scripts/fuzz.sh's own.
scripts/fuzz.sh all 10

tests/wine/run.sh
