# bash completion for kerrow: the command, the mode after e or d, then file
# names for the in, out, key and gamm files; after k, file names for the key
# and gamm files it writes. The counts and sizes after them are left to type.
_kerrow() {
    local cur=${COMP_WORDS[COMP_CWORD]} files=0
    COMPREPLY=()
    case ${COMP_CWORD} in
        1)
            if [[ ${cur} == -* ]]; then
                mapfile -t COMPREPLY < <(compgen -W '--help -h --version' -- "${cur}")
            else
                mapfile -t COMPREPLY < <(compgen -W 'e d c k' -- "${cur}")
            fi
            ;;
        2)
            # `c`, `--help` and `--version` take nothing more; `k` takes the
            # two files it writes.
            case ${COMP_WORDS[1]} in
                [eEdD]) mapfile -t COMPREPLY < <(compgen -W '-b -s' -- "${cur}") ;;
                [kK]) files=1 ;;
            esac
            ;;
        3)
            [[ ${COMP_WORDS[1]} == [eEdDkK] ]] && files=1
            ;;
        4 | 5 | 6)
            [[ ${COMP_WORDS[1]} == [eEdD] ]] && files=1
            ;;
    esac
    if ((files)); then
        if declare -F _filedir >/dev/null; then
            _filedir
        else
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "${cur}")
        fi
    fi
    return 0
}
complete -F _kerrow kerrow
