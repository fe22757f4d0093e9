#!/usr/bin/env bash
# Builds the benchmarks (Release, under build-bench/), runs every one of them
# and writes bench/results/results.txt and bench/results/latency.png. Takes
# about three minutes; figures are only as quiet as the machine is.
set -euo pipefail
cd "$(dirname "$0")/.."

# Beyond the build: gnuplot for the picture.
scripts/deps.sh gnuplot=gnuplot-nox

cmake -S bench -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench --target notchkey_e2e notchkey_sync notchkey_micro
# The Windows program as shipped; a full build only when there is none yet.
if [ -f build-win/build.ninja ]; then
  cmake --build build-win --target notchkey
else
  scripts/build.sh
fi
# The Wine desk's programs: the shipped 32-bit build where this kernel runs
# it, else the same built for x86-64 (run under wine64).
wine_build=build-win
if ! /usr/bin/python3 tests/e2e/i386.py >/dev/null && command -v x86_64-w64-mingw32-g++-win32 >/dev/null; then
  wine_build=build-win64
  cmake -S . -B build-win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
fi
cmake --build "$wine_build" --target notchkey notchkey_floor_win32 notchkey_keys_win32

bin=build-bench/bench
data=build-bench/results
results=bench/results
mkdir -p "$data" "$results"
rm -f "$data"/latency_*.txt

machine() {
  local cpu os
  cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
  os=$(. /etc/os-release && echo "$PRETTY_NAME")
  echo "machine: $cpu, $(nproc) cores, $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)"
  echo "system:  $os, kernel $(uname -r) $(uname -m)$(grep -q hypervisor /proc/cpuinfo && echo ', virtual machine')"
  echo "build:   $(g++ --version | head -1), Release; $(i686-w64-mingw32-g++-win32 --version | head -1) for the exe"
  echo "load average when starting: $(cut -d' ' -f1-3 /proc/loadavg)"
  # Latency and throughput share the cores with whatever else runs.
  if awk -v n="$(nproc)" '{ exit !($1 > n / 4) }' /proc/loadavg; then
    echo "note: the machine was busy when this started; latency and throughput figures include that."
  fi
}

exe_size() {
  local exe=build-win/notchkey.exe size symbols
  size=$(stat -c %s "$exe")
  if i686-w64-mingw32-nm "$exe" 2>&1 | grep -q 'no symbols'; then symbols="no symbols left"; else symbols="SYMBOLS PRESENT"; fi
  echo
  echo "5. Size of the Windows program: $exe (32-bit, statically linked runtime, $symbols)"
  echo "   $size bytes = $(awk -v s="$size" 'BEGIN {printf "%.1f", s / 1024}') KiB, goal <= 64 KiB (65536 bytes): $([ "$size" -le 65536 ] && echo met || echo 'NOT MET')"
}

micro() {
  echo
  echo "6. Micro-benchmarks (Google Benchmark; median of 5 repetitions, CPU time per call). The lookups take a"
  echo "   message string; their tables are searched from the last entry down. send_* and dispatch are the"
  echo "   program's own functions with its capture driver: packet built, held keys noted, a hex line"
  echo "   formatted and written to a file on tmpfs (one write() each); bare_write_of_a_line is that write() alone."
  echo "   (Debian's libbenchmark warns it was built as DEBUG: that is the library's own code, not the code measured.)"
  "$bin/notchkey_micro" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_min_time=0.1 --benchmark_color=false 2>&1 | grep -v -E '_(mean|stddev|cv) '
}

{
  echo "notchkey benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)$(git diff --quiet HEAD -- . ':!bench/results' 2>/dev/null || echo ' with uncommitted changes')"
  machine
  timeout 400 "$bin/notchkey_e2e" --plot-dir "$data"
  timeout 120 "$bin/notchkey_sync" 50
  # The CPU while waiting for silent ports, on both desks (the Wine desk where
  # Wine and its exe are there): the native program of this build.
  timeout 600 /usr/bin/python3 bench/waiting.py --native build-bench/notchkey/notchkey
  # Latency under Wine against its own floor, three runs.
  timeout 600 /usr/bin/python3 bench/wine_rig.py --runs 3 --build "$wine_build"
  exe_size
  micro
  echo
  echo "load average when done: $(cut -d' ' -f1-3 /proc/loadavg)"
} 2>&1 | tee "$results/results.txt"

gnuplot -e "dir='$data'; out='$results/latency.png'" bench/latency.gp
echo "notchkey: $results/results.txt, $results/latency.png"
