#!/usr/bin/env bash
# kerrow.exe against the build for this machine: every known-answer vector in
# both modes and directions (the same bytes, the same texts with CR LF line
# ends, the same exit codes), the other commands, non-ASCII and long names,
# NUL, the same-file refusal under other spellings, and large containers
# written on one platform and read on the other.
# Usage: check_exe.sh <host kerrow> <tests/data> <scratch folder> [<emulator>...] <kerrow.exe>
set -u
host=$(realpath "$1")
data=$(realpath "$2")
scratch=$3
shift 3
exe=("$@")
[ -x "$host" ] || { echo "check_exe: no $host to compare with: run make build first"; exit 1; }
rm -rf "$scratch" && mkdir -p "$scratch" && cd "$scratch" || exit 1
data=$(realpath --relative-to=. "$data")  # both builds are given the same texts

checks=0
failures=0
check() {
  checks=$((checks + 1))
  "${@:2}" || { echo "FAIL: $1"; failures=$((failures + 1)); }
}

masked() { sed 's/^Time:\t.*seconds$/Time:/'; }
# The .exe's text with its line ends checked and made "\n".
exe_text() {
  [ "$(grep -c $'\r$' exe.txt)" = "$(wc -l < exe.txt)" ] || echo "(a line without CR LF)"
  tr -d '\r' < exe.txt | masked
}
# The lines on standard error, each cut after the file or argument it names:
# the system's reasons are worded differently on each system.
subjects() { tr -d '\r' | sed 's/^\(kerrow: [^:]*\): .*/\1/'; }
same_texts() {
  [ "$(exe_text)" = "$(masked < host.txt)" ] && [ "$(subjects < exe.err)" = "$(subjects < host.err)" ] && return
  diff <(exe_text) <(masked < host.txt) | head -n 20
  diff <(subjects < exe.err) <(subjects < host.err)
  return 1
}
run_exe() { "${exe[@]}" "$@" > exe.txt 2> exe.err; exe_rc=$?; }

# both <output file> <arguments...>: runs the two builds on an output that
# exists and is longer than any result (so it must be emptied when the result
# begins, and kept when a run fails before that), then compares their exit
# codes, texts and outputs. The host's output is left in host.bin.
both() {
  local out=$1
  shift
  head -c 65536 /dev/zero | tr '\0' x > "$out"
  "$host" "$@" > host.txt 2> host.err
  host_rc=$?
  mv "$out" host.bin
  head -c 65536 /dev/zero | tr '\0' x > "$out"
  run_exe "$@"
  check "$*: exit code $exe_rc, not $host_rc" [ "$exe_rc" = "$host_rc" ]
  check "$*: texts" same_texts
  check "$*: output" cmp -s host.bin "$out"
}

# The known-answer vectors.
seen=0
while IFS=$'\t' read -r name mode gcyc mcyc length encrypts; do
  [ "$name" = name ] && continue
  counts=("$gcyc")
  [ "$mode" = -b ] && counts+=("$mcyc" "$length")
  v=$data/$name
  both out.bin e "$mode" "$v/plain.bin" out.bin "$v/key.bin" "$v/gamm.bin" "${counts[@]}"
  if [ "$encrypts" = yes ]; then
    check "$name: encrypted" cmp -s out.bin "$v/cipher.bin"
    check "$name: exit code" [ "$exe_rc" = 0 ]
  else
    check "$name: refused" [ "$exe_rc" = 1 ]
  fi
  both out.bin d "$mode" "$v/cipher.bin" out.bin "$v/key.bin" "$v/gamm.bin" "${counts[@]}"
  check "$name: decrypted" cmp -s out.bin "$v/plain.bin"
  check "$name: exit code" [ "$exe_rc" = 0 ]
  seen=$((seen + 1))
done < "$data/cases.tsv"
check "every vector" [ "$seen" -ge 15 ]

# The other commands, failures, and a folder as the input.
v=$data/stream-basic
mkdir -p folder
both unused
both unused x -s "$v/plain.bin" out.bin "$v/key.bin" "$v/gamm.bin" 4
both copyright.enc c
both out.bin e -s "$v/plain.bin" out.bin missing.key "$v/gamm.bin" 4
both out.bin e -s folder out.bin "$v/key.bin" "$v/gamm.bin" 4
# An empty output name names no file; "-x" and "--" are names of files.
both out.bin e -s "$v/plain.bin" "" "$v/key.bin" "$v/gamm.bin" 4
cp "$v/plain.bin" ./-x
"$host" e -s -x -- "$v/key.bin" "$v/gamm.bin" 4 > host.txt 2> host.err
mv -- ./-- host.bin
run_exe e -s -x -- "$v/key.bin" "$v/gamm.bin" 4
check "-x and --: exit code" [ "$exe_rc" = 0 ]
check "-x and --: files" cmp -s ./-- host.bin

# k: both files new, of the sizes asked for; a name that is taken is refused
# by both builds, its file kept and the other file not made.
"$host" k new.key new.gamm 5 70000 > host.txt 2> host.err
rm -f new.key new.gamm
run_exe K new.key new.gamm 5 70000
check "k: exit code" [ "$exe_rc" = 0 ]
check "k: texts" same_texts
check "k: sizes" [ "$(stat -c %s new.key) $(stat -c %s new.gamm)" = "5 70000" ]
run_exe k default.key default.gamm
check "k: default sizes" [ "$exe_rc $(stat -c %s default.key) $(stat -c %s default.gamm)" = "0 64 4096" ]
both new.key k new.key other.gamm
check "k over a file: refused" [ "$exe_rc" = 1 ]
check "k over a file: nothing made" test ! -e other.gamm

# Names beyond ASCII (one outside the 16-bit range), shown as UTF-8 when
# standard output is redirected, and a path longer than 260 characters.
cp "$data/block-default/plain.bin" 'café.bin'
both 'ключ-🔑.kbx' e -b 'café.bin' 'ключ-🔑.kbx' "$v/key.bin" "$v/gamm.bin" 4 2 100
both 'naïve.bin' d -b 'ключ-🔑.kbx' 'naïve.bin' "$v/key.bin" "$v/gamm.bin" 4 2 100
check "non-ASCII names: round trip" cmp -s 'café.bin' 'naïve.bin'
long=$(printf 'a-folder-with-a-rather-long-name-number-%02d/' 1 2 3 4 5 6 7)
mkdir -p "$long"
both "$long/out.kst" e -s 'café.bin' "$long/out.kst" "$v/key.bin" "$v/gamm.bin" 4
check "long path: ${#long} characters" [ "${#long}" -gt 260 ]

# NUL takes a result as /dev/null does, positions included.
for command in "e -b $v/plain.bin NUL $v/key.bin $v/gamm.bin 4 2 24" "d -s $v/cipher.bin nul $v/key.bin $v/gamm.bin 4"; do
  run_exe $command
  check "$command: exit code" [ "$exe_rc" = 0 ]
  check "$command: done" grep -q $'^Done.\r$' exe.txt
done
check "NUL: no such file made" test ! -e NUL -a ! -e nul

# Other device names, with or without an extension, are refused as outputs.
for device in aux.txt nul.kbx COM1.bin lpt9; do
  run_exe e -s 'café.bin' "$device" "$v/key.bin" "$v/gamm.bin" 4
  check "output $device: refused" [ "$exe_rc" = 1 ]
  check "output $device: said why" grep -q $'^Error opening output file!\r$' exe.txt
done

# A wrong gamm file fails the key check: exit 1 on both, the old output kept.
IFS=$'\t' read -r _ _ gcyc mcyc length < <(grep '^block-default' "$data/cases.tsv")
w=$data/block-default
both out.bin d -b "$w/cipher.bin" out.bin "$w/key.bin" "$v/gamm.bin" "$gcyc" "$mcyc" "$length"
check "wrong gamm: exit code" [ "$exe_rc" = 1 ]
check "wrong gamm: old output kept" [ "$(tr -d x < out.bin | wc -c)" = 0 ] && [ "$(stat -c %s out.bin)" = 65536 ]
check "no unfinished file left" [ -z "$(ls | grep kerrow-unfinished)" ]

# Other spellings of the input, or of the key, as the output.
cp "$v/plain.bin" in.bin
cp "$v/key.bin" key.bin
mkdir -p sub
"$host" e -s in.bin ./in.bin key.bin "$v/gamm.bin" 4 > host.txt 2> host.err
for spelling in '.\in.bin' './in.bin' 'IN.BIN' 'sub\..\in.bin' 'sub/../In.Bin' '.\KEY.bin'; do
  run_exe e -s in.bin "$spelling" key.bin "$v/gamm.bin" 4
  printf 'kerrow: %s: the same file\n' "$spelling" > host.err  # named as given
  check "output $spelling: exit code" [ "$exe_rc" = 1 ]
  check "output $spelling: texts" same_texts
  check "output $spelling: input kept" cmp -s in.bin "$v/plain.bin"
  check "output $spelling: key kept" cmp -s key.bin "$v/key.bin"
done

# "-" for standard input and output: the same bytes as the host's files,
# nothing but the data on standard output (binary: no CR added), the lines
# on standard error.
v=$data/stream-basic
"$host" e -s "$v/plain.bin" piped.host "$v/key.bin" "$v/gamm.bin" 4 > host.txt
"${exe[@]}" e -s - - "$v/key.bin" "$v/gamm.bin" 4 < "$v/plain.bin" > piped.exe 2> exe.err
check "- both ways: exit code" [ $? = 0 ]
check "- both ways: the data alone on standard output" cmp -s piped.host piped.exe
check "- both ways: the lines on standard error" grep -q $'^Done.\r$' exe.err
"${exe[@]}" e -b - piped.kbx "$v/key.bin" "$v/gamm.bin" 4 2 100 < "$v/plain.bin" > exe.txt 2> exe.err
"$host" e -b "$v/plain.bin" piped.kbx.host "$v/key.bin" "$v/gamm.bin" 4 2 100 > host.txt
check "- into block mode: the host's container" cmp -s piped.kbx piped.kbx.host

# Containers of several I/O chunks, written by one build and read by the other.
head -c $((3 * 1048576 + 5)) /dev/urandom > big.bin
v=$data/block-default
for counts in "-b 4 2 10000" "-s 4"; do
  set -- $counts
  mode=$1
  shift
  "$host" e "$mode" big.bin big.host "$v/key.bin" "$v/gamm.bin" "$@" > host.txt
  run_exe d "$mode" big.host big.back "$v/key.bin" "$v/gamm.bin" "$@"
  check "$mode: the host's container read by the .exe" cmp -s big.bin big.back
  run_exe e "$mode" big.bin big.exe "$v/key.bin" "$v/gamm.bin" "$@"
  check "$mode: the same container from both" cmp -s big.host big.exe
  rm -f big.back
  "$host" d "$mode" big.exe big.back "$v/key.bin" "$v/gamm.bin" "$@" > host.txt
  check "$mode: the .exe's container read by the host" cmp -s big.bin big.back
  rm -f big.host big.exe big.back
done

# Ctrl+C (Wine's form of SIGINT) in the middle of a block decryption, its
# result already stretched to full length: the unfinished file goes, with a
# line on standard error, an existing output stays as it was, and the run
# ends with STATUS_CONTROL_C_EXIT
# (0xC000013A, of which a POSIX parent sees the low byte, 58). Wine closes
# the handles of an ended process a moment after it is gone.
head -c $((8 << 20)) /dev/urandom > eight.bin
counts=("$v/key.bin" "$v/gamm.bin" 4 100 10000)
"$host" e -b eight.bin eight.kbx "${counts[@]}" > host.txt
for output in new existing; do
  rm -f cut.bin
  [ "$output" = existing ] && echo old > cut.bin
  "${exe[@]}" d -b eight.kbx cut.bin "${counts[@]}" > exe.txt 2> exe.err &
  pid=$!
  for _ in $(seq 1200); do
    [ "$(stat -c %s cut.bin.kerrow-unfinished-* 2> /dev/null)" = $((8 << 20)) ] && break
    sleep 0.05
  done
  kill -INT "$pid"
  wait "$pid"
  exe_rc=$?
  for _ in $(seq 100); do
    [ -z "$(ls | grep kerrow-unfinished)" ] && break
    sleep 0.05
  done
  check "Ctrl+C, $output output: exit code $exe_rc" [ "$exe_rc" = 58 ]
  check "Ctrl+C, $output output: unfinished file removed" [ -z "$(ls | grep kerrow-unfinished)" ]
  if [ "$output" = existing ]; then
    check "Ctrl+C, existing output: kept" [ "$(cat cut.bin)" = old ]
  else
    check "Ctrl+C, new output: none made" test ! -e cut.bin
  fi
  check "Ctrl+C, $output output: line" grep -q '^kerrow: interrupted; the unfinished output was removed' exe.err
  check "Ctrl+C, $output output: what was said" grep -q $'^Working...\r$' exe.txt
done

echo "check_exe: $checks checks, $failures failed"
[ "$failures" = 0 ]
