#!/usr/bin/env bash
# Round-trips examples/sample.txt through kerrow in block mode and in stream
# mode, and checks that both decryptions give the sample back byte for byte.
#
# Usage: examples/roundtrip.sh [path/to/kerrow]
#   The default binary is build/kerrow under the repository root.
#
# Exit status: 0 when both round trips succeed, 1 on any mismatch or failure.

set -euo pipefail

script_dir=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd)
repo_root=$(cd -- "${script_dir}/.." && pwd)

kerrow=${1:-"${repo_root}/build/kerrow"}
sample="${script_dir}/sample.txt"
key="${script_dir}/sample.key"
gamm="${script_dir}/sample.gamm"

# Counts used for both directions; decryption needs exactly the same ones.
gcyc=4
mcyc=2
block_length=10000

die() {
    printf 'roundtrip: %s\n' "$*" >&2
    exit 1
}

[[ -f ${kerrow} && -x ${kerrow} ]] \
    || die "kerrow binary not found or not executable: ${kerrow} (build it first, or pass its path)"
for f in "${sample}" "${key}" "${gamm}"; do
    [[ -r ${f} ]] || die "missing example file: ${f}"
done

tmp_dir=$(mktemp -d "${TMPDIR:-/tmp}/kerrow-roundtrip.XXXXXX")
trap 'rm -rf -- "${tmp_dir}"' EXIT

# run_kerrow LOG ARGS...: runs kerrow with ARGS, keeps its output in LOG and
# shows that output when kerrow fails.
run_kerrow() {
    local log=$1
    shift
    local rc=0
    "${kerrow}" "$@" >"${log}" 2>&1 || rc=$?
    if ((rc != 0)); then
        printf 'roundtrip: kerrow %s exited with %d; its output:\n' "$*" "${rc}" >&2
        sed 's/^/    /' "${log}" >&2
        exit 1
    fi
}

# expect_line LOG TEXT: LOG must hold TEXT as a whole line.
expect_line() {
    local log=$1 text=$2
    if ! grep -qxF -- "${text}" "${log}"; then
        printf 'roundtrip: expected the line "%s"; kerrow printed:\n' "${text}" >&2
        sed 's/^/    /' "${log}" >&2
        exit 1
    fi
}

size_of() {
    wc -c <"$1" | tr -d '[:space:]'
}

# same_bytes ORIGINAL RESTORED: compares with cmp and reports.
same_bytes() {
    if cmp -- "$1" "$2"; then
        printf '  compared:  %s and %s are identical\n' "${1##*/}" "${2##*/}"
    else
        die "round trip changed the data: ${2##*/} differs from ${1##*/}"
    fi
}

# differs ORIGINAL CIPHERTEXT: the ciphertext must not be the plain sample.
differs() {
    if cmp -s -- "$1" "$2"; then
        die "ciphertext ${2##*/} equals the plaintext"
    fi
}

sample_size=$(size_of "${sample}")
printf 'kerrow round trip with %s\n' "${kerrow}"
printf 'sample: %s (%s bytes), key: %s, gamm: %s\n\n' \
    "${sample##*/}" "${sample_size}" "${key##*/}" "${gamm##*/}"

# Block mode.
block_enc="${tmp_dir}/sample.kbx"
block_dec="${tmp_dir}/sample.kbx.txt"
printf 'Block mode (gcyc %d, mcyc %d, block length %d)\n' "${gcyc}" "${mcyc}" "${block_length}"
run_kerrow "${tmp_dir}/block-e.log" e -b "${sample}" "${block_enc}" "${key}" "${gamm}" \
    "${gcyc}" "${mcyc}" "${block_length}"
expect_line "${tmp_dir}/block-e.log" "Done."
differs "${sample}" "${block_enc}"
size=$(size_of "${block_enc}")
printf '  encrypted: %s -> %s (%s bytes)\n' "${sample##*/}" "${block_enc##*/}" "${size}"
run_kerrow "${tmp_dir}/block-d.log" d -b "${block_enc}" "${block_dec}" "${key}" "${gamm}" \
    "${gcyc}" "${mcyc}" "${block_length}"
# A failed key check still exits 0, so the verdict has to be read.
expect_line "${tmp_dir}/block-d.log" "Done.Successfuly decrypted."
size=$(size_of "${block_dec}")
printf '  decrypted: %s -> %s (%s bytes), key check passed\n' \
    "${block_enc##*/}" "${block_dec##*/}" "${size}"
same_bytes "${sample}" "${block_dec}"
printf '\n'

# Stream mode.
stream_enc="${tmp_dir}/sample.kst"
stream_dec="${tmp_dir}/sample.kst.txt"
printf 'Stream mode (gcyc %d)\n' "${gcyc}"
run_kerrow "${tmp_dir}/stream-e.log" e -s "${sample}" "${stream_enc}" "${key}" "${gamm}" "${gcyc}"
expect_line "${tmp_dir}/stream-e.log" "Done."
differs "${sample}" "${stream_enc}"
size=$(size_of "${stream_enc}")
# Stream mode output is exactly as long as its input.
if [[ ${size} != "${sample_size}" ]]; then
    die "stream ciphertext is ${size} bytes, expected ${sample_size}"
fi
printf '  encrypted: %s -> %s (%s bytes)\n' "${sample##*/}" "${stream_enc##*/}" "${size}"
run_kerrow "${tmp_dir}/stream-d.log" d -s "${stream_enc}" "${stream_dec}" "${key}" "${gamm}" "${gcyc}"
expect_line "${tmp_dir}/stream-d.log" "Done."
size=$(size_of "${stream_dec}")
printf '  decrypted: %s -> %s (%s bytes)\n' "${stream_enc##*/}" "${stream_dec##*/}" "${size}"
same_bytes "${sample}" "${stream_dec}"
printf '\n'

printf 'Both round trips succeeded.\n'
