#!/usr/bin/env bash
# Writes the seed corpora of the fuzz targets (committed under corpus/).
# Containers are sealed with the built binary, so run it again only when the
# container layout changes:   tests/fuzz/make_seeds.sh build/kerrow
set -euo pipefail
bin=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The fields that open a block_decrypt or round_trip input: gcyc, mcyc and
# block length (low byte, high byte), key length, gamm length, as octal escapes.
fields() { printf "\\$(printf %03o "$1")"; }
head_of() {  # gcyc mcyc block_length key gamm
  fields $(($1 & 255)); fields $(($2 & 255)); fields $(($3 & 255)); fields $((($3 >> 8) & 255))
  fields ${#4}; fields ${#5}; printf '%s%s' "$4" "$5"
}

rt=$here/corpus/round_trip bd=$here/corpus/block_decrypt cl=$here/corpus/command_line
rm -rf "$rt" "$bd" "$cl"
mkdir -p "$rt" "$bd" "$cl"

n=0
seed() {  # gcyc mcyc block_length key gamm plaintext
  n=$((n + 1))
  { head_of "$1" "$2" "$3" "$4" "$5"; printf '%s' "$6"; } >"$rt/seed$n"
  printf '%s' "$4" >"$tmp/key"
  printf '%s' "$5" >"$tmp/gamm"
  printf '%s' "$6" >"$tmp/plain"
  if "$bin" e -b "$tmp/plain" "$tmp/sealed" "$tmp/key" "$tmp/gamm" "$1" "$2" "$3" >/dev/null; then
    { head_of "$1" "$2" "$3" "$4" "$5"; cat "$tmp/sealed"; } >"$bd/seed$n"
  fi
}
seed 2 1 16 'key bytes' 'gamm file bytes' 'hello, world! 123456789'
seed 1 2 5 'fives' 'g' 'x'
seed -1 -2 100 'a longer key!' 'gamm 7b' 'forty bytes of plaintext for the runs!!'
seed 3 3 8 'key of 12 by' 'gm' 'nine byte'
seed 4 2 24 'k3' 'gamm' 'a key of three bytes is refused in block mode only'
seed 2 2 12 'empty input' 'gamm' ''
# Damaged containers: shorter than the header, and a pad count of 9.
{ head_of 2 1 16 'key bytes' 'gamm file bytes'; printf 'short'; } >"$bd/short"
{ head_of 2 1 16 'key bytes' 'gamm file bytes'; printf '0123456789AB\011\000\000\000'; printf '%016d' 0; } >"$bd/pad9"

# command_line: a count, then the arguments, NUL-separated.
line() { local name=$1; shift; printf '%s\0' "$@" >"$cl/$name"; }
line block_e '  +42abc' e -b in.bin out.bin key.bin gamm.bin 3 2 16
line block_d '-2147483648' d -b in.kbx out.bin key.bin gamm.bin 3 2 16
line stream_e '2147483648' E -S in.bin out.bin key.bin gamm.bin 3
line stream_d '' d -s in.kst out.bin key.bin gamm.bin 3
line same_file '7' e -s in.bin link.key key.bin gamm.bin 4
line fifo 'abc' d -b fifo out.bin key.bin gamm.bin 1 1 8
line notice '0' c
line bad '-0' x -b in.bin out.bin key.bin gamm.bin 1 1 8
