#!/usr/bin/env bash
# Checks the Debian package that `make package` built: unpacks it into a
# scratch root with dpkg -x, checks that the binary and the manual page are
# in it, and round-trips the bundled sample through the unpacked binary in
# both modes.
#
# Usage: tests/package_check.sh <build dir>
set -euo pipefail

repo_root=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:?usage: tests/package_check.sh <build dir>}

fail() {
    printf 'package_check: %s\n' "$*" >&2
    exit 1
}

# The newest package, should an older version still lie beside it.
deb=$(ls -t -- "${build_dir}"/kerrow_*.deb 2>/dev/null | head -n 1) || true
[[ -n ${deb} ]] || fail "no kerrow_*.deb in ${build_dir} (run make package first)"

root=$(mktemp -d "${TMPDIR:-/tmp}/kerrow-package.XXXXXX")
trap 'rm -rf -- "${root}"' EXIT

dpkg-deb --info "${deb}" >"${root}/info"
for field in Package Version Architecture Maintainer Section Description; do
    grep -q "^ ${field}: " "${root}/info" || fail "control field ${field} missing"
done
dpkg -x "${deb}" "${root}/tree"

bin="${root}/tree/usr/bin/kerrow"
man_page="${root}/tree/usr/share/man/man1/kerrow.1"
[[ -x ${bin} ]] || fail "no executable usr/bin/kerrow in ${deb##*/}"
[[ -f ${man_page} ]] || fail "no usr/share/man/man1/kerrow.1 in ${deb##*/}"
cmp -s "${man_page}" "${repo_root}/man/kerrow.1" || fail "the packaged manual page differs from man/kerrow.1"

# The notice command: exit 0 and a 68-byte copyright.enc.
work="${root}/work"
mkdir "${work}"
(cd "${work}" && "${bin}" c >/dev/null) || fail "kerrow c failed"
size=$(wc -c <"${work}/copyright.enc")
((size == 68)) || fail "copyright.enc has ${size} bytes, not 68"

# Both modes, both directions, through the installed binary.
"${repo_root}/examples/roundtrip.sh" "${bin}" >"${root}/roundtrip.log" 2>&1 \
    || { cat "${root}/roundtrip.log" >&2; fail "the round trip with the packaged binary failed"; }

printf 'package_check: %s is complete and its binary works\n' "${deb##*/}"
