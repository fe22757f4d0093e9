#!/usr/bin/env bash
# Builds from scratch if need be and runs every test: the native suite; the
# same under AddressSanitizer with UndefinedBehaviorSanitizer; the threaded
# tests under ThreadSanitizer; a short pass of each fuzzer; and every
# end-to-end scenario on both desks (the native program, and notchkey.exe
# under Wine), the native desk also with both sanitizer builds.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh
# The unit and rule checks read them with the tools a Linux desktop has.
scripts/deps.sh systemd-analyze=systemd udevadm=udev
# Everything, the slow tests (a 30 s flood, CPU ticks at rest) included; for
# a quick pass while working: ctest --test-dir build -LE slow.
ctest --test-dir build --output-on-failure -j "$(nproc)"
# Why a test that could not run here was skipped.
grep -h -A1 ': Skipped$' build/Testing/Temporary/LastTest.log | grep -v -e ': Skipped$' -e '^--$' |
  sed 's/^/notchkey: skipped: /' || true
tests/check_packages.sh --no-build

for preset in asan tsan; do
  cmake --preset "$preset" >/dev/null
  cmake --build "build-$preset"
done
# The GoogleTest suites; the script-driven checks are the real programs again,
# which the native desk below runs under both sanitizers.
ctest --test-dir build-asan --output-on-failure -j "$(nproc)" -L '^(gtest|slow)$'
# The threads: the worker, the user-interface thread, and terminating the
# worker, in process (the timed fault tests left out: the sanitizer slows the
# program down many times); the real program is the native desk's below.
ctest --test-dir build-tsan --output-on-failure -j "$(nproc)" -L gtest \
  -R '^(Threads|Messages|Worker|SyncFailure|TrayWindow)\.|\.TerminateLeaves'

# Long runs are scripts/fuzz.sh's own.
scripts/fuzz.sh all 10

tests/e2e/run.sh
for preset in asan tsan; do
  tests/e2e/run.sh -q -k "native or notification or tray" --native-binary "build-$preset/notchkey"
done
