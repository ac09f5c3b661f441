#!/usr/bin/env bash
# kerrow built for another machine (run under its emulator) against the build
# for this one: every known-answer vector in both modes and directions, and
# containers of several I/O chunks made by one build and read by the other,
# which must be the same bytes from both. With --large MODES (-b, -s or both),
# instead a sparse input of 4 GiB + 3 bytes the same way in those modes, and
# a key file of 2^32 + 1 words: the lengths and offsets past 32 bits (needs
# 9 GiB free). Everything it writes is removed as it goes and at the end.
# Usage: check_target.sh [--large MODES] <host kerrow> <tests/data> <scratch folder>
#                        [<emulator>...] <target kerrow>
set -u
large=
if [ "${1:-}" = --large ]; then
  large=$2
  shift 2
fi
host=$(realpath "$1")
data=$(realpath "$2")
scratch=$3
shift 3
target=("$@")
[ -x "$host" ] || { echo "check_target: no $host to compare with: run make build first"; exit 1; }
rm -rf "$scratch" && mkdir -p "$scratch" && cd "$scratch" || exit 1
trap 'cd / && rm -rf "$scratch"' EXIT

checks=0
failures=0
check() {
  checks=$((checks + 1))
  "${@:2}" || { echo "FAIL: $1"; failures=$((failures + 1)); }
}
masked() { sed 's/^Time:\t.*seconds$/Time:/' "$1"; }
same_text() { [ "$(masked target.txt)" = "$(masked host.txt)" ]; }
run_target() { "${target[@]}" "$@" > target.txt 2>&1; target_rc=$?; }

# both_ways <input> <mode> <counts...>: the host's container read by the
# target, and the target's container the same bytes as the host's.
material=("$data/block-default/key.bin" "$data/block-default/gamm.bin")
both_ways() {
  local input=$1 mode=$2
  shift 2
  "$host" e "$mode" "$input" host.enc "${material[@]}" "$@" > host.txt 2>&1
  run_target d "$mode" host.enc target.dec "${material[@]}" "$@"
  check "$input $mode $*: the host's container read by the target" cmp -s "$input" target.dec
  rm -f target.dec
  run_target e "$mode" "$input" target.enc "${material[@]}" "$@"
  check "$input $mode $*: the same container from both" cmp -s host.enc target.enc
  rm -f host.enc target.enc
}

if [ -z "$large" ]; then
  # The known-answer vectors: the expected bytes, and the host's texts.
  seen=0
  while IFS=$'\t' read -r name mode gcyc mcyc length encrypts; do
    [ "$name" = name ] && continue
    counts=("$gcyc")
    [ "$mode" = -b ] && counts+=("$mcyc" "$length")
    v=$data/$name
    for step in "e plain.bin cipher.bin" "d cipher.bin plain.bin"; do
      set -- $step
      "$host" "$1" "$mode" "$v/$2" out.bin "$v/key.bin" "$v/gamm.bin" "${counts[@]}" > host.txt 2>&1
      rm -f out.bin
      run_target "$1" "$mode" "$v/$2" out.bin "$v/key.bin" "$v/gamm.bin" "${counts[@]}"
      # A setting that leaves the data readable is refused in encryption;
      # its old containers still decrypt.
      if [ "$1" = e ] && [ "$encrypts" != yes ]; then
        check "$name e: refused, exit code $target_rc" [ "$target_rc" = 1 ]
        check "$name e: no output" test ! -e out.bin
      else
        check "$name $1: exit code $target_rc" [ "$target_rc" = 0 ]
        check "$name $1: output" cmp -s out.bin "$v/$3"
      fi
      check "$name $1: texts" same_text
      rm -f out.bin
    done
    seen=$((seen + 1))
  done < "$data/cases.tsv"
  check "every vector" [ "$seen" -ge 13 ]

  # Several I/O chunks with a tail word of one byte; blocks whose length is no
  # multiple of four and a final block of padding; a file shorter than a word,
  # dated past what a 32-bit time holds.
  head -c $((3 * 1048576 + 5)) /dev/urandom > big.bin
  head -c 3 /dev/urandom > tiny.bin
  touch -d 2040-01-01 tiny.bin
  for input in big.bin tiny.bin; do
    both_ways "$input" -b 4 2 10000
    both_ways "$input" -b 3 1 1001
    both_ways "$input" -s 4
  done
  rm -f big.bin tiny.bin
else
  # A sparse key file of 2^32 + 1 words, more than the cipher's indices reach:
  # refused as out of memory by both, never cut down to one word by a 32-bit
  # size_t.
  truncate -s $((16 * 1024 * 1024 * 1024 + 4)) huge.key
  printf 'tiny' > tiny.bin
  "$host" e -s tiny.bin out.bin huge.key "${material[1]}" 1 > host.txt 2>&1
  host_rc=$?
  run_target e -s tiny.bin out.bin huge.key "${material[1]}" 1
  check "key of 2^32 + 1 words: exit code $target_rc" [ "$target_rc" = "$host_rc" ]
  check "key of 2^32 + 1 words: texts" same_text
  check "key of 2^32 + 1 words: refused" grep -qx 'Out of memory!' target.txt
  rm -f huge.key tiny.bin out.bin

  # A sparse input of 4 GiB + 3 bytes, with a few bytes that aren't zero at
  # its start, middle and end.
  free_kib=$(df -Pk . | awk 'NR == 2 { print $4 }')
  if [ "$free_kib" -lt $((9 * 1024 * 1024)) ]; then
    # Skipped (exit 77), not failed: the machine lacks the room, not the tool.
    echo "check_target: SKIPPED, the 4 GiB check needs 9 GiB free, has $((free_kib / 1024)) MiB"
    exit 77
  fi
  size=$((4 * 1024 * 1024 * 1024 + 3))
  truncate -s "$size" large.bin
  printf 'start' | dd of=large.bin conv=notrunc status=none
  printf 'middle' | dd of=large.bin bs=1 seek=$((size / 2 - 3)) conv=notrunc status=none
  printf 'end' | dd of=large.bin bs=1 seek=$((size - 3)) conv=notrunc status=none
  for mode in $large; do
    started=$SECONDS
    counts=(1)
    [ "$mode" = -b ] && counts+=(1 1048576)
    both_ways large.bin "$mode" "${counts[@]}"
    echo "check_target: 4 GiB + 3 bytes, $mode, both ways in $((SECONDS - started)) s"
  done
  rm -f large.bin
fi

echo "check_target: $checks checks, $failures failed"
[ "$failures" = 0 ]
