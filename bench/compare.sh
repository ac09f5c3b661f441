#!/usr/bin/env bash
# Times whole runs of kerrow against `openssl enc -aes-128-ctr` on the same
# 64 MiB random file, side by side, and prints the median wall-time ratio of
# each case (gcyc 4, mcyc 2, block length 10000) with kerrow's CPU seconds
# (user + system) beside its wall seconds; then a 4 KiB file through each
# driver against `cp` of the same file, two block encryptions at once against
# one, what large counts cost against the usual ones, and the kernel
# benchmarks when they are built. Each row shows its goal.
#
#   bench/compare.sh                    uses build/kerrow (BUILD_DIR=build)
#   BUILD_DIR=build-x bench/compare.sh  another build folder
#   KERROW=/path/to/kerrow bench/compare.sh
#   RUNS=7 (runs per case and tool), MIB=64 (input size), SMALL_RUNS=101
#   (runs per small-file case), STRICT=1 (exit 1 when a figure is over its
#   target or goal), COUNTS=0 (leave out the large counts, which take about
#   RUNS x 3 s here) or COUNTS=only (those alone; no openssl needed)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
BUILD_DIR=${BUILD_DIR:-build}
RUNS=${RUNS:-7}
MIB=${MIB:-64}
SMALL_RUNS=${SMALL_RUNS:-101}
STRICT=${STRICT:-0}
COUNTS=${COUNTS:-1}
case $COUNTS in
    0 | 1 | only) ;;
    *) echo "compare.sh: COUNTS is 0, 1 or only, not $COUNTS" >&2; exit 2 ;;
esac

if [[ $COUNTS != only ]] && ! command -v openssl >/dev/null 2>&1; then
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

# What a mistyped count costs, in terms a user can weigh: a large mcyc
# against the usual 2 on the same 16 MiB file, and gcyc 1000000 (whose
# preparation is the whole run on a 4 KiB input) against a whole usual run
# (gcyc 4, mcyc 2, block length 10000) on 16 MiB, and so as the MiB that
# such a run would encrypt in the same time. Both with the key and gamm
# sizes the README proposes, 64 B and 4 KiB. No goal: these tell, not test.
large_counts() {
    head -c $((16 << 20)) /dev/urandom >"$tmp/count_plain"
    head -c 4096 /dev/urandom >"$tmp/count_small"
    head -c 64 /dev/urandom >"$tmp/count_key"
    head -c 4096 /dev/urandom >"$tmp/count_gamm"
    local usual=("$tmp/count_key" "$tmp/count_gamm" 4 2 10000)
    local many=() usuals=() mcyc_ratios=() gcyc_ratios=() r m u g
    for ((r = 0; r < RUNS; r++)); do
        m=$(wall "$KERROW" e -b "$tmp/count_plain" "$tmp/out" "$tmp/count_key" "$tmp/count_gamm" 4 20 10000)
        u=$(wall "$KERROW" e -b "$tmp/count_plain" "$tmp/out" "${usual[@]}")
        g=$(wall "$KERROW" e -b "$tmp/count_small" "$tmp/out" "$tmp/count_key" "$tmp/count_gamm" 1000000 2 10000)
        many+=("$g")
        usuals+=("$u")
        mcyc_ratios+=("$(awk -v a="$m" -v b="$u" 'BEGIN { printf "%.4f", a / b }')")
        gcyc_ratios+=("$(awk -v a="$g" -v b="$u" 'BEGIN { printf "%.4f", a / b }')")
    done
    echo
    printf 'Large counts in block encryption (64 B key, 4 KiB gamm), median and range of %d alternating runs\n' "$RUNS"
    printf '%-56s %8s %8s %8s\n' case ratio lowest highest
    # row NAME SCALE DIGITS RATIO...: the median, lowest and highest ratio,
    # each times SCALE.
    row() {
        local name=$1 scale=$2 digits=$3
        shift 3
        printf '%s\n' "$@" | sort -g | awk -v name="$name" -v s="$scale" -v d="$digits" '{ v[NR] = $1 * s }
            END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
                  f = "%8." d "f"; printf "%-56s " f " " f " " f "\n", name, m, v[1], v[NR] }'
    }
    row "16 MiB: mcyc 20 over mcyc 2" 1 2 "${mcyc_ratios[@]}"
    row "gcyc 1000000 on 4 KiB over usual counts on 16 MiB" 1 2 "${gcyc_ratios[@]}"
    row "  so gcyc 1000000 costs as much as usual counts on MiB" 16 0 "${gcyc_ratios[@]}"
    printf '%-56s %8.3f s (usual counts on 16 MiB: %.3f s)\n' "  gcyc 1000000 on 4 KiB, median" \
        "$(printf '%s\n' "${many[@]}" | median)" "$(printf '%s\n' "${usuals[@]}" | median)"
}

if [[ $COUNTS == only ]]; then
    large_counts
    exit 0
fi

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

# Wall seconds and CPU seconds (user + system, all threads) of one command,
# its output file removed first.
wall_and_cpu() {
    rm -f "$tmp/out"
    local TIMEFORMAT='%3R %3U %3S' times
    times=$({ time "$@" >/dev/null; } 2>&1)
    echo "$times" | awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }'
}

over=0
# mark_if_over VALUE GOAL: sets $mark to "  over" for a figure over its goal
# (a goal of - is none), and notes it for STRICT=1.
mark_if_over() {
    mark=""
    if [[ $2 != - ]] && awk -v r="$1" -v t="$2" 'BEGIN { exit !(r > t) }'; then
        mark="  over"
        over=1
    fi
}

printf 'kerrow against openssl enc -aes-128-ctr, %d MiB, median of %d alternating runs\n' "$MIB" "$RUNS"
printf '%-34s %9s %7s %8s %5s %9s %6s %6s\n' case "kerrow s" "cpu s" cpu/wall goal "openssl s" ratio target
declare -A kerrow_median

# run_case NAME TARGET CPU-GOAL INPUT KERROW-ARGS...: the output goes to $tmp/out.
run_case() {
    local name=$1 target=$2 cpu_goal=$3 input=$4
    shift 4
    local k_times=() k_cpus=() k_shares=() o_times=() ratios=()
    for ((r = 0; r < RUNS; r++)); do
        local k c o
        read -r k c < <(wall_and_cpu "$KERROW" "$@")
        o=$(wall openssl enc -aes-128-ctr -K "$aes_key" -iv "$aes_iv" -in "$input" -out "$tmp/out")
        k_times+=("$k")
        k_cpus+=("$c")
        k_shares+=("$(awk -v c="$c" -v w="$k" 'BEGIN { printf "%.4f", c / w }')")
        o_times+=("$o")
        ratios+=("$(awk -v a="$k" -v b="$o" 'BEGIN { printf "%.4f", a / b }')")
    done
    local km kc share om ratio
    km=$(printf '%s\n' "${k_times[@]}" | median)
    kc=$(printf '%s\n' "${k_cpus[@]}" | median)
    share=$(printf '%s\n' "${k_shares[@]}" | median)
    om=$(printf '%s\n' "${o_times[@]}" | median)
    ratio=$(printf '%s\n' "${ratios[@]}" | median)
    kerrow_median[$name]=$km
    local marks
    mark_if_over "$share" "$cpu_goal"
    marks=$mark
    mark_if_over "$ratio" "$target"
    printf '%-34s %9.3f %7.3f %8.2f %5s %9.3f %6.2f %6.2f%s%s\n' "$name" "$km" "$kc" "$share" "$cpu_goal" \
        "$om" "$ratio" "$target" "$marks" "$mark"
}

run_case "stream enc 256 B / 4 KiB" 1.0 - "$tmp/plain" e -s "$tmp/plain" "$tmp/out" "$tmp/key256" "$tmp/gamm4k" 4
run_case "stream dec 256 B / 4 KiB" 1.0 - "$tmp/stream256" d -s "$tmp/stream256" "$tmp/out" "$tmp/key256" "$tmp/gamm4k" 4
run_case "stream enc 100 B / 1000 B" 1.5 - "$tmp/plain" e -s "$tmp/plain" "$tmp/out" "$tmp/key100" "$tmp/gamm1000" 4
run_case "stream dec 100 B / 1000 B" 1.5 - "$tmp/stream100" d -s "$tmp/stream100" "$tmp/out" "$tmp/key100" "$tmp/gamm1000" 4
run_case "block enc mcyc 2, 256 B / 4 KiB" 1.5 1.3 "$tmp/plain" e -b "$tmp/plain" "$tmp/out" "$tmp/key256" "$tmp/gamm4k" 4 2 10000
run_case "block dec mcyc 2, 256 B / 4 KiB" 1.725 1.3 "$tmp/block256" d -b "$tmp/block256" "$tmp/out" "$tmp/key256" "$tmp/gamm4k" 4 2 10000
run_case "block enc mcyc 2, 100 B / 1000 B" 2.5 1.3 "$tmp/plain" e -b "$tmp/plain" "$tmp/out" "$tmp/key100" "$tmp/gamm1000" 4 2 10000
run_case "block dec mcyc 2, 100 B / 1000 B" 2.875 1.3 "$tmp/block100" d -b "$tmp/block100" "$tmp/out" "$tmp/key100" "$tmp/gamm1000" 4 2 10000

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

# A small file: what a run costs beyond its cipher work, against copying it.
head -c 4096 /dev/urandom >"$tmp/small"
"$KERROW" e -b "$tmp/small" "$tmp/small.kbx" "$tmp/key256" "$tmp/gamm4k" 4 2 10000 >/dev/null
"$KERROW" e -s "$tmp/small" "$tmp/small.kst" "$tmp/key256" "$tmp/gamm4k" 4 >/dev/null
echo
printf 'A 4 KiB file, kerrow over cp of the same file, median of %d alternating runs\n' "$SMALL_RUNS"
printf '%-34s %10s %10s %8s %8s\n' case "kerrow ms" "cp ms" ratio goal
# small_case NAME INPUT KERROW-ARGS...: the output goes to $tmp/out.
small_case() {
    local name=$1 input=$2
    shift 2
    local k_times=() c_times=() ratios=()
    for ((r = 0; r < SMALL_RUNS; r++)); do
        local k c
        k=$(wall "$KERROW" "$@")
        c=$(wall cp "$input" "$tmp/out")
        k_times+=("$k")
        c_times+=("$c")
        ratios+=("$(awk -v a="$k" -v b="$c" 'BEGIN { printf "%.4f", a / b }')")
    done
    local km cm ratio
    km=$(printf '%s\n' "${k_times[@]}" | median)
    cm=$(printf '%s\n' "${c_times[@]}" | median)
    ratio=$(printf '%s\n' "${ratios[@]}" | median)
    mark_if_over "$ratio" 1.0
    printf '%-34s %10.3f %10.3f %8.2f %8.2f%s\n' "$name" "$(awk -v s="$km" 'BEGIN { print s * 1000 }')" \
        "$(awk -v s="$cm" 'BEGIN { print s * 1000 }')" "$ratio" 1.0 "$mark"
}
small_case "block enc (e -b)" "$tmp/small" e -b "$tmp/small" "$tmp/out" "$tmp/key256" "$tmp/gamm4k" 4 2 10000
small_case "block dec (d -b)" "$tmp/small.kbx" d -b "$tmp/small.kbx" "$tmp/out" "$tmp/key256" "$tmp/gamm4k" 4 2 10000
small_case "stream enc (e -s)" "$tmp/small" e -s "$tmp/small" "$tmp/out" "$tmp/key256" "$tmp/gamm4k" 4
small_case "stream dec (d -s)" "$tmp/small.kst" d -s "$tmp/small.kst" "$tmp/out" "$tmp/key256" "$tmp/gamm4k" 4

# Two block encryptions at once, of two files, against one: with two cores
# and a pipeline that sleeps while it waits, the second costs little.
head -c $((MIB << 20)) /dev/urandom >"$tmp/plain2"
echo
printf 'Two block encryptions at once (two %d MiB files), wall over one run'"'"'s, median of %d alternating runs\n' "$MIB" "$RUNS"
printf '%-34s %10s %10s %8s %8s\n' case "one s" "two s" ratio goal
one_times=() two_times=() ratios=()
for ((r = 0; r < RUNS; r++)); do
    one=$(wall "$KERROW" e -b "$tmp/plain" "$tmp/out" "$tmp/key256" "$tmp/gamm4k" 4 2 10000)
    rm -f "$tmp/out" "$tmp/out2"
    start=$EPOCHREALTIME
    "$KERROW" e -b "$tmp/plain" "$tmp/out" "$tmp/key256" "$tmp/gamm4k" 4 2 10000 >/dev/null &
    "$KERROW" e -b "$tmp/plain2" "$tmp/out2" "$tmp/key256" "$tmp/gamm4k" 4 2 10000 >/dev/null &
    wait
    two=$(echo "$start $EPOCHREALTIME" | awk '{ printf "%.6f\n", $2 - $1 }')
    one_times+=("$one")
    two_times+=("$two")
    ratios+=("$(awk -v a="$two" -v b="$one" 'BEGIN { printf "%.4f", a / b }')")
done
ratio=$(printf '%s\n' "${ratios[@]}" | median)
mark_if_over "$ratio" 1.2
printf '%-34s %10.3f %10.3f %8.2f %8.2f%s\n' "block enc mcyc 2, 256 B / 4 KiB" \
    "$(printf '%s\n' "${one_times[@]}" | median)" "$(printf '%s\n' "${two_times[@]}" | median)" \
    "$ratio" 1.2 "$mark"

[[ $COUNTS == 0 ]] || large_counts

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
