#!/usr/bin/env bash
# Round trips of files past the 32-bit lengths, both modes, through the built
# binary: a sparse input of 4 GiB + 3 bytes (a tail word past 2^32) and one of
# exactly 2^31 bytes (the first length a signed 32-bit count can't hold);
# then 4 GiB + 5 bytes from a generator through a pipeline, "-" both ways.
#   large_test.sh <kerrow binary> [scratch folder]
# Needs about 9 GiB free where the scratch folder is (with less it reports
# itself skipped); everything it writes is removed however it ends.
set -euo pipefail

bin=$(realpath "$1")
base=${2:-${TMPDIR:-/tmp}}
mkdir -p "$base"
work=$(mktemp -d "$base/kerrow-large.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM HUP

need_kib=$((9 * 1024 * 1024))
free_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
if [ "$free_kib" -lt "$need_kib" ]; then
  # Skipped (exit 77), not failed: the machine lacks the room, not the tool.
  echo "large test: SKIPPED, needs 9 GiB free under $base, has $((free_kib / 1024)) MiB" >&2
  exit 77
fi

fail() { echo "large test: $*" >&2; exit 1; }

cd "$work"
printf 'a key of sixteen' > key.bin
printf 'gamm data: any bytes will do, here sixty-four of them in a row.' > gamm.bin

# A sparse file of $2 bytes with a few non-zero bytes at its start, middle and end.
make_input() {
  local path=$1 size=$2
  truncate -s "$size" "$path"
  printf 'start' | dd of="$path" conv=notrunc status=none
  printf 'middle' | dd of="$path" bs=1 seek=$((size / 2 - 3)) conv=notrunc status=none
  printf 'end' | dd of="$path" bs=1 seek=$((size - 3)) conv=notrunc status=none
}

# Runs kerrow, keeping its stdout in $log; fails unless it exits 0 and prints
# the full input length on its progress line and the expected closing line.
run() {
  local length=$1 closing=$2
  shift 2
  log=$("$bin" "$@") || fail "kerrow $* exited $?: $log"
  grep -qF "In file:	$3   $length bytes" <<<"$log" || fail "no full length in: $log"
  grep -qxF "$closing" <<<"$log" || fail "no '$closing' in: $log"
}

round_trip() {
  local input=$1 size=$2 started
  started=$SECONDS
  make_input "$input" "$size"
  [ "$(stat -c %s "$input")" -eq "$size" ] || fail "input is not $size bytes"

  run "$size" 'Done.' e -b "$input" "$input.kbx" key.bin gamm.bin 1 1 1048576
  run "$(stat -c %s "$input.kbx")" 'Done.Successfuly decrypted.' \
    d -b "$input.kbx" "$input.out" key.bin gamm.bin 1 1 1048576
  cmp "$input" "$input.out" || fail "block mode did not give $input back"
  rm -f "$input.kbx" "$input.out"

  run "$size" 'Done.' e -s "$input" "$input.kst" key.bin gamm.bin 1
  [ "$(stat -c %s "$input.kst")" -eq "$size" ] || fail "stream output is not $size bytes"
  if cmp -s "$input" "$input.kst"; then fail "stream output equals its input"; fi
  run "$size" 'Done.' d -s "$input.kst" "$input.out" key.bin gamm.bin 1
  cmp "$input" "$input.out" || fail "stream mode did not give $input back"
  rm -f "$input" "$input.kst" "$input.out"
  echo "large test: $size bytes round-tripped in both modes in $((SECONDS - started)) s"
}

round_trip big.bin $((4 * 1024 * 1024 * 1024 + 3))
round_trip two31.bin $((2 * 1024 * 1024 * 1024))

# 4 GiB + 5 bytes from a generator through two runs in a pipeline, standard
# input to standard output both: no file holds any of it.
pipe_size=$((4 * 1024 * 1024 * 1024 + 5))
started=$SECONDS
# (yes ends by SIGPIPE: outside the pipeline, so that pipefail doesn't see it)
generate() { head -c "$pipe_size" < <(yes 'a line of text to encrypt, over and over'); }
want=$(generate | sha256sum)
got=$(generate | "$bin" e -s - - key.bin gamm.bin 1 2> enc.log | tee >(wc -c > sealed.count) |
  "$bin" d -s - - key.bin gamm.bin 1 2> dec.log | sha256sum)
[ "$got" = "$want" ] || fail "the pipeline did not give the generator's bytes back"
grep -qxF 'Done.' enc.log && grep -qxF 'Done.' dec.log || fail "no 'Done.' from the pipeline's runs"
sleep 1  # the byte count comes from a process substitution
[ "$(tr -d ' ' < sealed.count)" -eq "$pipe_size" ] || fail "the encrypted stream is not $pipe_size bytes"
echo "large test: $pipe_size bytes through a pipeline both ways in $((SECONDS - started)) s"
