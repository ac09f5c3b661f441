#!/usr/bin/env bash
# Installs the build into a scratch prefix, lets one shell find kerrow's
# completion there as it finds an installed one, and asks it to complete a
# table of command lines in a folder of known files: the commands, the
# options, the modes, file names where the four files (or k's two) go, and
# nothing after c, --version or the last file.
#
#   bash             bash alone: the completion sourced from ~/.bashrc
#   bash-completion  bash with the bash-completion package, which loads it
#   zsh              zsh's completion system (compinit), driven through zpty
#   fish             fish's complete -C
#
# Usage: tests/completion_check.sh <shell> <build dir> [<cmake>]
set -euo pipefail

shell=${1:?usage: tests/completion_check.sh <bash|bash-completion|zsh|fish> <build dir> [<cmake>]}
build_dir=${2:?usage: tests/completion_check.sh <shell> <build dir> [<cmake>]}
cmake=${3:-cmake}
bash_completion=/usr/share/bash-completion/bash_completion

case ${shell} in
    bash) ;;
    bash-completion)
        [[ -f ${bash_completion} ]] ||
            { echo "bash-completion not found: apt-get install bash-completion to test the bash completion with it"; exit 1; } ;;
    zsh | fish)
        command -v "${shell}" >/dev/null 2>&1 ||
            { echo "${shell} not found: apt-get install ${shell} to test its completion of kerrow"; exit 1; } ;;
    *) echo "completion_check: unknown shell ${shell}" >&2; exit 2 ;;
esac

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kerrow-completion.XXXXXX")
trap 'rm -rf -- "${scratch}"' EXIT
prefix=${scratch}/prefix
"${cmake}" --install "${build_dir}" --prefix "${prefix}" >"${scratch}/install.log" 2>&1 ||
    { cat "${scratch}/install.log"; echo "completion_check: cmake --install failed"; exit 1; }
# The shells look only at the scratch prefix and home, never at the user's
# own settings; fish loads a command's completion only once it is on PATH.
export HOME=${scratch}/home XDG_CONFIG_HOME=${scratch}/home/.config XDG_DATA_HOME=${scratch}/home/.local/share
export XDG_DATA_DIRS=${prefix}/share PATH=${prefix}/bin:${PATH}
mkdir -p "${XDG_CONFIG_HOME}" "${XDG_DATA_HOME}"

work=${scratch}/work
mkdir -p "${work}/sub"
touch "${work}/alpha.txt" "${work}/alpha.key" "${work}/beta.gamm"
cd "${work}"

# What is typed (up to the cursor) and the matches expected, a space apart;
# a folder's trailing slash is not compared.
cases=(
    'kerrow |c d e k'
    'kerrow -|--help --version -h'
    'kerrow --v|--version'
    'kerrow e |-b -s'
    'kerrow D -|-b -s'
    'kerrow e -b al|alpha.key alpha.txt'
    'kerrow d -s in out key |alpha.key alpha.txt beta.gamm sub'
    'kerrow E -b in out key gamm |'
    'kerrow c |'
    'kerrow --version |'
    'kerrow k |alpha.key alpha.txt beta.gamm sub'
    'kerrow K new.key b|beta.gamm'
    'kerrow k new.key new.gamm |'
    'kerrow x |'
)
lines=()
for c in "${cases[@]}"; do lines+=("${c%%|*}"); done

# Every line's matches, each line's after a line "== <typed>".
ask_bash() {
    bash --norc --noprofile -c '
        if [[ $1 == bash-completion ]]; then
            . "$2" && __load_completion kerrow ||
                { echo "bash-completion finds no completion for kerrow under $3/share" >&2; exit 1; }
        else
            . "$3/share/bash-completion/completions/kerrow" || exit 1
        fi
        registered=$(complete -p kerrow) || exit 1
        fn=${registered#*-F }; fn=${fn%% *}
        shift 3
        for line; do
            read -ra COMP_WORDS <<<"$line"
            [[ $line == *" " ]] && COMP_WORDS+=("")
            COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$line COMP_POINT=${#line}
            COMPREPLY=()
            "$fn" kerrow "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
            printf "== %s\n" "$line"
            ((${#COMPREPLY[@]} == 0)) || printf "%s\n" "${COMPREPLY[@]}"
        done' bash "${shell}" "${bash_completion}" "${prefix}" "${lines[@]}"
}

# zsh completes only in its line editor, so a child zsh runs on a pseudo
# terminal (zsh/zpty) with compinit and the prefix's folder in fpath; each
# line is typed with a Tab, and a compadd around the builtin notes what the
# completion offers (the calls with -O, -A or -D only test candidates).
# The line is then cleared with Ctrl+A Ctrl+K, never Ctrl+U: typed while
# the terminal is still in its line mode (before the editor takes it over),
# Ctrl+U would erase the line, Tab and all, before zsh saw it.
ask_zsh() {
    zsh -f -c '
        zmodload zsh/zpty || exit 1
        hits=$1 fndir=$2; shift 2
        # A marker is typed as arithmetic, so that only its output matches.
        mark() { zpty -w k "print -r -- $1-\$(($2))"; zpty -r -m k reply "*$1-$2*" ||
            { print -r -- "zsh gave no answer" >&2; exit 1; } }
        zpty k zsh -f -i
        zpty -w k "PS1= RPS1= fpath=(${(q)fndir} \$fpath)
            bindkey -e
            unsetopt auto_list auto_menu beep
            autoload -Uz compinit && compinit -u -D
            compadd() {
                if [[ \${@[1,(i)(-|--)]} == *-[OAD]\\ * ]]; then builtin compadd \"\$@\"; return; fi
                local -a found
                builtin compadd -A found \"\$@\"
                (( \$#found )) && print -rl -- \$found >>${(q)hits}
                builtin compadd \"\$@\"
            }"
        mark ready 0
        integer n=0
        for line; do
            zpty -w k "print -r -- ${(q)${:-== $line}} >>${(q)hits}"
            mark ready $(( ++n ))
            zpty -n -w k "$line"$'"'"'\t\C-a\C-k'"'"'
            mark done $n
        done
        zpty -d k
        cat -- "$hits"' zsh "${scratch}/zsh-hits" "${prefix}/share/zsh/vendor-completions" "${lines[@]}"
}

ask_fish() {
    local line
    for line in "${lines[@]}"; do
        printf '== %s\n' "${line}"
        fish -c 'complete -C $argv[1]' "${line}" | cut -f 1
    done
}

case ${shell} in
    bash | bash-completion) answers=$(ask_bash) ;;
    zsh) answers=$(ask_zsh) ;;
    fish) answers=$(ask_fish) ;;
esac

failed=0
for c in "${cases[@]}"; do
    line=${c%%|*}
    expected=${c#*|}
    got=$(awk -v head="== ${line}" '$0 == head { on = 1; next } /^== / { on = 0 } on' <<<"${answers}" |
        sed 's:/$::' | sort -u | paste -sd ' ' -)
    if [[ ${got} != "${expected}" ]]; then
        printf '%s: "%s" offers "%s", not "%s"\n' "${shell}" "${line}" "${got}" "${expected}"
        failed=1
    fi
done
((failed == 0)) || exit 1
printf '%s: %d lines complete as expected\n' "${shell}" "${#cases[@]}"
