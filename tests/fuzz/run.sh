#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each for the given number of seconds on
# a working copy of its seed corpus. Any crash, leak, timeout or failed check
# fails the run; the input that caused it is kept under build-fuzz/artifacts.
#   tests/fuzz/run.sh [seconds per target]      (make fuzz FUZZ_SECONDS=600)
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
targets=(block_decrypt round_trip command_line)

cxx=${FUZZ_CXX:-}
if [ -z "$cxx" ]; then
  for c in clang++ clang++-14; do
    if command -v "$c" >/dev/null 2>&1; then cxx=$c; break; fi
  done
fi
if [ -z "$cxx" ]; then
  echo "fuzz: clang++ not found (apt-get install clang libclang-rt-14-dev)" >&2
  exit 1
fi

flags="-O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_CXX_FLAGS="$flags" -DKERROW_FUZZ=ON >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]/#/fuzz_}"

# Scratch files of the targets go to memory where it can, and are removed
# however the run ends.
scratch_base=/tmp
if [ -d /dev/shm ] && [ -w /dev/shm ]; then scratch_base=/dev/shm; fi
scratch=$(mktemp -d "$scratch_base/kerrow-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

mkdir -p "$build/artifacts"
summary=()
status=0
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  log="$build/fuzz_$t.log"
  mkdir -p "$corpus" "$scratch/$t"
  echo "fuzz: $t for $seconds s"
  # New inputs go to the working corpus (the first folder); the committed
  # seeds are only read.
  if TMPDIR="$scratch/$t" "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$t-" "$corpus" "$root/tests/fuzz/corpus/$t" \
      >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
    tail -n 60 "$log" >&2
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  summary+=("$(printf '%-14s %-6s %12s executions in %s s (log: %s)' "$t" "$result" "${runs:-?}" "$seconds" "$log")")
done

printf 'fuzz: %s\n' "${summary[@]}"
exit "$status"
