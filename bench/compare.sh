#!/usr/bin/env bash
# Times whole runs of kerrow against `openssl enc -aes-128-ctr` on the same
# 64 MiB random file, side by side, and prints the median wall-time ratio of
# each case (gcyc 4, mcyc 2, block length 10000), then runs the kernel
# benchmarks when they are built.
#
#   bench/compare.sh                    uses build/kerrow (BUILD_DIR=build)
#   BUILD_DIR=build-x bench/compare.sh  another build folder
#   KERROW=/path/to/kerrow bench/compare.sh
#   RUNS=7 (runs per case and tool), MIB=64 (input size), STRICT=1 (exit 1
#   when a ratio is over its target)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
BUILD_DIR=${BUILD_DIR:-build}
RUNS=${RUNS:-7}
MIB=${MIB:-64}
STRICT=${STRICT:-0}

if ! command -v openssl >/dev/null 2>&1; then
    echo "compare.sh: openssl is not installed; it is the reference these timings compare against." >&2
    exit 2
fi
if [[ -f "$BUILD_DIR/CMakeCache.txt" ]]; then
    cmake --build "$BUILD_DIR" --target kerrow >/dev/null
    if grep -q '^KERROW_BENCH:BOOL=ON' "$BUILD_DIR/CMakeCache.txt"; then
        cmake --build "$BUILD_DIR" --target kerrow_bench >/dev/null
    fi
fi
KERROW=${KERROW:-$BUILD_DIR/kerrow}
if [[ ! -x "$KERROW" ]]; then
    echo "compare.sh: no kerrow binary at $KERROW; build it first (make build) or set KERROW." >&2
    exit 2
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

head -c $((MIB << 20)) /dev/urandom >"$tmp/plain"
head -c 256 /dev/urandom >"$tmp/key256"
head -c 4096 /dev/urandom >"$tmp/gamm4k"
head -c 100 /dev/urandom >"$tmp/key100"
head -c 1000 /dev/urandom >"$tmp/gamm1000"
aes_key=$(openssl rand -hex 16)
aes_iv=$(openssl rand -hex 16)

# The inputs of the decryption cases: what the encryption cases write.
for size in 256 100; do
    [[ $size == 256 ]] && gamm=gamm4k || gamm=gamm1000
    "$KERROW" e -s "$tmp/plain" "$tmp/stream$size" "$tmp/key$size" "$tmp/$gamm" 4 >/dev/null
    "$KERROW" e -b "$tmp/plain" "$tmp/block$size" "$tmp/key$size" "$tmp/$gamm" 4 2 10000 >/dev/null
done

# Wall time of one command in seconds; its output file is removed first so
# that every run writes a new file.
wall() {
    rm -f "$tmp/out"
    local start=$EPOCHREALTIME
    "$@" >/dev/null
    local end=$EPOCHREALTIME
    echo "$start $end" | awk '{ printf "%.6f\n", $2 - $1 }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

printf 'kerrow against openssl enc -aes-128-ctr, %d MiB, median of %d alternating runs\n' "$MIB" "$RUNS"
printf '%-34s %10s %10s %8s %8s\n' case "kerrow s" "openssl s" ratio target
over=0
declare -A kerrow_median

# run_case NAME TARGET INPUT KERROW-ARGS...: the output goes to $tmp/out.
run_case() {
    local name=$1 target=$2 input=$3
    shift 3
    local k_times=() o_times=() ratios=()
    for ((r = 0; r < RUNS; r++)); do
        local k o
        k=$(wall "$KERROW" "$@")
        o=$(wall openssl enc -aes-128-ctr -K "$aes_key" -iv "$aes_iv" -in "$input" -out "$tmp/out")
        k_times+=("$k")
        o_times+=("$o")
        ratios+=("$(awk -v a="$k" -v b="$o" 'BEGIN { printf "%.4f", a / b }')")
    done
    local km om ratio
    km=$(printf '%s\n' "${k_times[@]}" | median)
    om=$(printf '%s\n' "${o_times[@]}" | median)
    ratio=$(printf '%s\n' "${ratios[@]}" | median)
    kerrow_median[$name]=$km
    local mark=""
    if awk -v r="$ratio" -v t="$target" 'BEGIN { exit !(r > t) }'; then
        mark="  over target"
        over=1
    fi
    printf '%-34s %10.3f %10.3f %8.2f %8.2f%s\n' "$name" "$km" "$om" "$ratio" "$target" "$mark"
}

run_case "stream enc 256 B / 4 KiB" 1.0 "$tmp/plain" e -s "$tmp/plain" "$tmp/out" "$tmp/key256" "$tmp/gamm4k" 4
run_case "stream dec 256 B / 4 KiB" 1.0 "$tmp/stream256" d -s "$tmp/stream256" "$tmp/out" "$tmp/key256" "$tmp/gamm4k" 4
run_case "stream enc 100 B / 1000 B" 1.5 "$tmp/plain" e -s "$tmp/plain" "$tmp/out" "$tmp/key100" "$tmp/gamm1000" 4
run_case "stream dec 100 B / 1000 B" 1.5 "$tmp/stream100" d -s "$tmp/stream100" "$tmp/out" "$tmp/key100" "$tmp/gamm1000" 4
run_case "block enc mcyc 2, 256 B / 4 KiB" 1.5 "$tmp/plain" e -b "$tmp/plain" "$tmp/out" "$tmp/key256" "$tmp/gamm4k" 4 2 10000
run_case "block dec mcyc 2, 256 B / 4 KiB" 1.725 "$tmp/block256" d -b "$tmp/block256" "$tmp/out" "$tmp/key256" "$tmp/gamm4k" 4 2 10000
run_case "block enc mcyc 2, 100 B / 1000 B" 2.5 "$tmp/plain" e -b "$tmp/plain" "$tmp/out" "$tmp/key100" "$tmp/gamm1000" 4 2 10000
run_case "block dec mcyc 2, 100 B / 1000 B" 2.875 "$tmp/block100" d -b "$tmp/block100" "$tmp/out" "$tmp/key100" "$tmp/gamm1000" 4 2 10000

echo
printf '%-34s %10s %8s\n' "block dec / block enc (kerrow)" ratio target
for size in "256 B / 4 KiB" "100 B / 1000 B"; do
    ratio=$(awk -v d="${kerrow_median["block dec mcyc 2, $size"]}" -v e="${kerrow_median["block enc mcyc 2, $size"]}" \
        'BEGIN { printf "%.2f", d / e }')
    mark=""
    if awk -v r="$ratio" 'BEGIN { exit !(r > 1.15) }'; then
        mark="  over target"
        over=1
    fi
    printf '%-34s %10s %8s%s\n' "$size" "$ratio" 1.15 "$mark"
done

bench="$(dirname "$KERROW")/bench/kerrow_bench"
if [[ -x "$bench" ]]; then
    echo
    echo "Kernel benchmarks (items_per_second = words per second):"
    "$bench" --benchmark_min_time=0.2
else
    echo
    echo "(Kernel benchmarks: configure $BUILD_DIR with -DKERROW_BENCH=ON to run them here too.)"
fi

if [[ $over == 1 && $STRICT == 1 ]]; then
    exit 1
fi
exit 0
