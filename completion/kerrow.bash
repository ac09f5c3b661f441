# bash completion for kerrow: the direction, the mode, then file names for
# the in, out, key and gamm files. The counts after them are left to type.
_kerrow() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    COMPREPLY=()
    case ${COMP_CWORD} in
        1)
            if [[ ${cur} == -* ]]; then
                mapfile -t COMPREPLY < <(compgen -W '--help -h --version' -- "${cur}")
            else
                mapfile -t COMPREPLY < <(compgen -W 'e d c' -- "${cur}")
            fi
            ;;
        2)
            # `c`, `--help` and `--version` take nothing more.
            [[ ${COMP_WORDS[1]} == [eEdD] ]] || return 0
            mapfile -t COMPREPLY < <(compgen -W '-b -s' -- "${cur}")
            ;;
        3 | 4 | 5 | 6)
            [[ ${COMP_WORDS[1]} == [eEdD] ]] || return 0
            if declare -F _filedir >/dev/null; then
                _filedir
            else
                compopt -o filenames 2>/dev/null
                mapfile -t COMPREPLY < <(compgen -f -- "${cur}")
            fi
            ;;
    esac
    return 0
}
complete -F _kerrow kerrow
