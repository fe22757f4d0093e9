#!/usr/bin/env bash
# Builds from scratch if need be and runs every test: the native suite, the
# same under AddressSanitizer with UndefinedBehaviorSanitizer, the threaded
# tests under ThreadSanitizer, and notchkey.exe end to end under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh
ctest --test-dir build --output-on-failure -j "$(nproc)"

# The demo and the resource check run the same scripts in every build.
for preset in asan tsan; do
  cmake --preset "$preset" >/dev/null
  cmake --build "build-$preset"
done
ctest --test-dir build-asan --output-on-failure -j "$(nproc)" -E '^(demo|resources)$'
ctest --test-dir build-tsan --output-on-failure -j "$(nproc)" \
  -R '^(Threads|Messages|Worker|SyncFailure|TrayWindow|Program|WorkerFailure)\.'

tests/wine/run.sh
