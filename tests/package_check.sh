#!/usr/bin/env bash
# Checks the Debian package that `make package` built: unpacks it into a
# scratch root with dpkg -x, checks that the binary, the manual page, the bash,
# zsh and fish completions, the changelog and the copyright file are in it,
# round-trips the bundled sample through the unpacked binary in both modes,
# and runs lintian when it is installed (any error or warning fails, except
# those that only quote the tool's own message texts).
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

tree="${root}/tree/usr"
bin="${tree}/bin/kerrow"
[[ -x ${bin} ]] || fail "no executable usr/bin/kerrow in ${deb##*/}"
for file in share/man/man1/kerrow.1.gz share/doc/kerrow/changelog.gz share/doc/kerrow/copyright; do
    [[ -f ${tree}/${file} ]] || fail "no usr/${file} in ${deb##*/}"
done
gzip -dc "${tree}/share/man/man1/kerrow.1.gz" | cmp -s - "${repo_root}/man/kerrow.1" \
    || fail "the packaged manual page differs from man/kerrow.1"
# Each completion under the name and in the folder where its shell looks.
for pair in bash:share/bash-completion/completions/kerrow zsh:share/zsh/vendor-completions/_kerrow \
    fish:share/fish/vendor_completions.d/kerrow.fish; do
    source_file=completion/kerrow.${pair%%:*} file=${pair#*:}
    [[ -f ${tree}/${file} ]] || fail "no usr/${file} in ${deb##*/}"
    cmp -s "${tree}/${file}" "${repo_root}/${source_file}" \
        || fail "the packaged usr/${file} differs from ${source_file}"
done

# The bash completion loads in bash and offers the commands first.
offered=$(bash -c 'source "$1" && COMP_WORDS=(kerrow "") COMP_CWORD=1 && _kerrow && echo "${COMPREPLY[*]}"' \
    _ "${tree}/share/bash-completion/completions/kerrow") || true
[[ ${offered} == "e d c k" ]] || fail "the bash completion offers '${offered}' after kerrow, not 'e d c k'"

# The version the binary reports (after its banner) is the package's, and the
# changelog's latest entry is for it.
version=$(sed -n 's/^ Version: //p' "${root}/info")
[[ $("${bin}" --version | tail -n 1) == "kerrow ${version}" ]] || fail "kerrow --version does not say ${version}"
gzip -dc "${tree}/share/doc/kerrow/changelog.gz" | sed -n 1p | grep -qF "kerrow (${version}) " \
    || fail "the changelog's latest entry is not for ${version}"

# The notice command: exit 0 and a 68-byte copyright.enc.
work="${root}/work"
mkdir "${work}"
(cd "${work}" && "${bin}" c >/dev/null) || fail "kerrow c failed"
size=$(wc -c <"${work}/copyright.enc")
((size == 68)) || fail "copyright.enc has ${size} bytes, not 68"

# Both modes, both directions, through the installed binary.
"${repo_root}/examples/roundtrip.sh" "${bin}" >"${root}/roundtrip.log" 2>&1 \
    || { cat "${root}/roundtrip.log" >&2; fail "the round trip with the packaged binary failed"; }

# lintian, when installed: its tags on the usage text's own spelling
# ("usualy") name texts that stay as they are; anything else at error or
# warning level fails.
if command -v lintian >/dev/null 2>&1; then
    lintian --allow-root --fail-on none --display-info "${deb}" >"${root}/lintian.log" 2>&1 \
        || { cat "${root}/lintian.log" >&2; fail "lintian could not check ${deb##*/}"; }
    own_texts='spelling-error-in-binary (usualy|sise|Successfuly) '
    sed 's/^/  lintian: /' "${root}/lintian.log"
    if grep -E '^[EW]: ' "${root}/lintian.log" | grep -vE "${own_texts}" >"${root}/lintian.bad"; then
        cat "${root}/lintian.bad" >&2
        fail "lintian reports errors or warnings on ${deb##*/}"
    fi
else
    printf 'package_check: lintian is not installed; the package was not linted\n'
fi

printf 'package_check: %s is complete and its binary works\n' "${deb##*/}"
