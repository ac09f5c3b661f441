#!/usr/bin/env bash
# The README's many-files recipes, taken from README.md exactly as printed and
# run, under sh and under bash, on a tree of awkward names with the built
# kerrow first on PATH: the restored tree must be the original (every file's
# bytes and time, the folders, the links, as the README says), a damaged
# container must be named and fail the run, and the manual page's copy of the
# encryption recipe must be the README's.
#   recipes_test.sh <kerrow binary> <README.md> <manual page>
set -euo pipefail

bin=$(realpath "$1")
readme=$2
man=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/kerrow-recipes.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM HUP

fail() { echo "recipes test: $*" >&2; exit 1; }

# The sh blocks of the "Many files" section, each without the indentation of
# its fence (the last one sits in a list item): recipe1.sh, recipe2.sh, ...
blocks=$(awk -v dir="$work" '
  /^## / { inside = ($0 == "## Many files") }
  !inside { next }
  !block && /^ *```sh$/ { block = 1; n++; indent = index($0, "`") - 1; out = dir "/recipe" n ".sh"; printf "" > out; next }
  block { s = $0; sub(/^ +/, "", s); if (s == "```") { block = 0; close(out); next }; print substr($0, indent + 1) > out }
  END { print n + 0 }' "$readme")
[ "$blocks" = 3 ] || fail "the Many files section has $blocks sh blocks; this test knows three"
grep -q 'kerrow e -b' "$work/recipe1.sh" || fail "the first recipe does not encrypt"
grep -q 'kerrow d -b' "$work/recipe2.sh" || fail "the second recipe does not decrypt"
grep -q 'cmp' "$work/recipe3.sh" || fail "the third recipe does not compare"

# The manual page's example, with its roff escapes undone.
awk '/^\.EX$/ { ex = ""; inside = 1; next }
     /^\.EE$/ { inside = 0; if (index(ex, "photos.kbx/$1.kbx")) printf "%s", ex; next }
     inside { ex = ex $0 "\n" }' "$man" |
  sed -e 's/\\-/-/g' -e "s/\\\\(aq/'/g" -e 's/\\e/\\/g' > "$work/man_recipe.sh"
cmp -s "$work/man_recipe.sh" "$work/recipe1.sh" ||
  fail "the manual page's many-files example is not the README's encryption recipe"

mkdir -p "$work/bin" "$work/home/secret"
ln -s "$bin" "$work/bin/kerrow"
export PATH="$work/bin:$PATH" HOME="$work/home"
head -c 64 /dev/urandom > "$HOME/secret/my.key"
head -c 4096 /dev/urandom > "$HOME/secret/my.gamm"
# As the first recipe exports them, for the others run on their own.
export KEY=$HOME/secret/my.key GAMM=$HOME/secret/my.gamm

forged=$'\nDone.Successfuly decrypted.\n'

# Names with spaces, a newline, a leading dash, quotes, a backslash, bytes that
# are not UTF-8, an escape sequence and a forged closing line; nested and
# empty folders; links to a file, to a folder, to nothing, and one named as a
# container beside its file, which points out of the tree (no run may write
# through it); files of 0, 1, 5 and a few thousand bytes, one with a time of
# its own, others with modes.
make_tree() {
  mkdir -p photos/deep/er/still photos/deep/void photos/empty
  cd photos
  : > 'zero bytes'
  printf 'x' > one
  printf 'fives' > -five
  head -c 4099 /dev/urandom > 'deep/er/still/four thousand'
  head -c 3000 /dev/urandom > "$forged"
  head -c 2000 /dev/urandom > $'line\nbreak'
  printf 'quoted' > "it's \"quoted\""
  printf 'back' > 'back\slash'
  printf 'odd' > $'deep/\xff\xfe not utf-8'
  printf 'esc' > $'\033[2J\033[Hclear'
  printf 'like a container' > 'ends.kbx'
  ln -s 'deep/er/still/four thousand' link
  ln -s deep folder-link
  ln -s nowhere dangling
  printf 'bee' > b
  ln -s "$work/outside" b.kbx
  chmod 600 one
  chmod 751 ./-five
  touch -d '2001-02-03 04:05:06.123456789' one
  cd ..
}

# What the README says is kept: each entry's kind and name, a file's time, a
# link's target. Bytes and modes are compared file by file.
manifest() {
  (cd "$1" && find . "${@:2}" \( \( -type f -printf 'f %T@ %P\0' \) -o \( -type d -printf 'd %P\0' \) \
                                  -o \( -type l -printf 'l %P -> %l\0' \) \) | sort -z)
}

# Whether tree $2 has the manifest of tree $1, or of the part of it that the
# find tests after them select; the lines that differ are shown.
same_tree() {
  manifest "$1" "${@:3}" > "$work/want"
  manifest "$2" > "$work/have"
  cmp -s "$work/want" "$work/have" && return
  diff <(tr '\0' '\n' < "$work/want") <(tr '\0' '\n' < "$work/have") >&2 || true
  return 1
}

# Changes one byte of file $1, at offset $2.
flip_byte() {
  local b
  b=$(od -An -tu1 -j "$2" -N 1 -- "$1")
  printf "\\$(printf %03o $((b ^ 1)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

same_files() {
  local from=$1 to=$2 f
  while IFS= read -r -d '' f; do
    cmp -s -- "$from/$f" "$to/$f" || fail "$to/$f: not the original's bytes"
    local was now
    was=$(stat -c %a -- "$from/$f") now=$(stat -c %a -- "$to/$f")
    (( (8#$now & ~8#$was) == 0 && (8#$now & 8#111) == 0 )) ||
      fail "$to/$f: mode $now from $was"
  done < <(cd "$to" && find . -type f -print0)
}

# Runs recipe $2 under shell $1 from the current folder; its printed lines in out, err.
recipe() { "$1" "$work/recipe$2.sh" > out 2> err || true; }

expect_out() {
  [ "$(cat out)" = "$1" ] || fail "$shell, $2: printed '$(cat out)', not '$1'; errors: $(cat err)"
}

for shell in sh bash; do
  command -v "$shell" > /dev/null || continue
  mkdir "$work/$shell"
  cd "$work/$shell"
  make_tree
  printf 'outside' > "$work/outside"

  recipe "$shell" 1
  expect_out "exit status: 0" "encryption"
  [ ! -s err ] || fail "$shell, encryption: $(cat err)"
  # Every file became a container of its own, none of them a copy.
  for f in one -five "$forged" 'deep/er/still/four thousand'; do
    [ -f "photos.kbx/$f.kbx" ] || fail "no container for $f"
    ! cmp -s -- "photos/$f" "photos.kbx/$f.kbx" || fail "$f was copied, not encrypted"
  done

  recipe "$shell" 2
  expect_out "exit status: 0" "decryption"
  [ ! -s err ] || fail "$shell, decryption: $(cat err)"
  same_tree photos photos.restored || fail "$shell: the restored tree is not the original"
  same_files photos photos.restored
  recipe "$shell" 3
  expect_out "every file is back, byte for byte" "comparison"
  [ "$(cat "$work/outside")" = outside ] || fail "$shell: a run wrote through a link"

  # A new tree only: one that exists is refused before any file.
  recipe "$shell" 1
  expect_out "exit status: 1" "encryption over an existing tree"

  # One container cut short, one changed: both are named, the run fails, the
  # tree lacks exactly those two files, and the comparison names both.
  truncate -s -1 photos.kbx/-five.kbx
  flip_byte "photos.kbx/$forged.kbx" 1000
  rm -rf photos.restored
  recipe "$shell" 2
  expect_out "exit status: 123" "decryption of damaged containers"
  grep -q 'the key check failed' err || fail "$shell: no failed key check: $(cat err)"
  [ "$(grep -c '^FAILED: ' err)" = 2 ] && grep -qxF 'FAILED: ./-five.kbx' err &&
    [[ $(cat err) == *"FAILED: ./$forged.kbx"* ]] ||
    fail "$shell: the damaged containers are not the ones named: $(cat err)"
  same_tree photos photos.restored ! -path ./-five ! -path "./$forged" ||
    fail "$shell: a damaged container left something in the restored tree"
  same_files photos photos.restored
  recipe "$shell" 3
  expect_out "" "comparison with two files missing"
  [ "$(grep -c 'No such file' err)" = 2 ] || fail "$shell: the comparison did not name both: $(cat err)"
done
echo "recipes test: the README's recipes keep what it says"
