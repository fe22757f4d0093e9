#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under build-fuzz/ and runs them, one
# after the other, each for SECONDS:
#
#   scripts/fuzz.sh [messages|settings|all] [SECONDS]    (all, 600 by default)
#   scripts/fuzz.sh all 10                               (a quick pass for CI)
#
# Each fuzzer works on its own copy of the seeds, build-fuzz/corpus-NAME, which
# keeps what earlier runs found; fuzz/corpus/ stays as committed. Exits 1 when
# a run finds a crash, a hang or runaway memory, naming the saved input.
# As root it first installs from Debian's packages what is missing; otherwise
# it names it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

usage() {
  echo "usage: scripts/fuzz.sh [messages|settings|all] [SECONDS]" >&2
  exit 2
}
case ${1:-all} in
  messages | settings) names=("$1") ;;
  all) names=(messages settings) ;;
  *) usage ;;
esac
seconds=${2:-600}
[[ $seconds =~ ^[1-9][0-9]*$ ]] || usage

scripts/deps.sh clang++=clang
# libFuzzer and the sanitizer runtimes are only recommended by clang, and
# their package carries clang's major version.
scripts/deps.sh "$(clang++ -print-runtime-dir)/libclang_rt.fuzzer-$(uname -m).a=libclang-rt-$(clang++ -dumpversion | cut -d. -f1)-dev"

build=$root/build-fuzz
CC=clang CXX=clang++ cmake -S fuzz -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build"

# A figure from libFuzzer's closing statistics.
final_stat() { sed -n "s/^stat::$2: *//p" "$1" | tail -n 1; }

status=0
for name in "${names[@]}"; do
  corpus=$build/corpus-$name
  artifacts=$build/artifacts
  log=$build/fuzz-$name.log
  mkdir -p "$corpus" "$artifacts"
  cp -R "fuzz/corpus/$name/." "$corpus/"
  echo "notchkey: fuzzing $name for ${seconds}s (log: ${log#"$root"/})"
  # Absolute paths throughout: the settings fuzzer runs in a directory of its own.
  rc=0
  "$build/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
    -dict="$root/fuzz/$name.dict" -artifact_prefix="$artifacts/$name-" "$corpus" >"$log" 2>&1 || rc=$?

  coverage=$(grep -E '^#[0-9]+' "$log" | grep -o 'cov: [0-9]* ft: [0-9]*' | tail -n 1 || true)
  echo "notchkey: $name: $(final_stat "$log" number_of_executed_units) executions," \
    "$(final_stat "$log" average_exec_per_sec) exec/s, ${coverage:-no coverage line}," \
    "corpus $(find "$corpus" -type f | wc -l) inputs"
  artifact=$(sed -n 's/.*Test unit written to //p' "$log" | tail -n 1)
  if [ "$rc" -ne 0 ] || [ -n "$artifact" ]; then
    status=1
    grep -E 'ERROR|SUMMARY|fuzz_[a-z]+: .*:[0-9]+:|deadly signal|timeout|out-of-memory' "$log" | head -n 5 >&2 || true
    echo "notchkey: $name: FOUND A CRASH (exit $rc): ${artifact:-see $log}" >&2
    echo "notchkey: reproduce with: $build/fuzz_$name ${artifact:-INPUT}" >&2
  else
    echo "notchkey: $name: no crash"
  fi
done
exit $status
