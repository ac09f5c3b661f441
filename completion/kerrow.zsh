#compdef kerrow
# zsh completion for kerrow, installed as _kerrow: the command, the mode after
# e or d, then file names for the in, out, key and gamm files; after k, file
# names for the key and gamm files it writes. The counts and sizes after them
# are left to type. The selectors are read in either case, as kerrow reads
# them.

local -a choices
if (( CURRENT == 2 )); then
  if [[ $PREFIX == -* ]]; then
    choices=(
      '--help:print the usage text'
      '-h:print the usage text'
      '--version:print the version'
    )
    _describe -t options 'kerrow option' choices
  else
    choices=(
      'e:encrypt a file'
      'd:decrypt a file'
      'c:write the notice record copyright.enc'
      'k:write a new key file and gamm file of random bytes'
    )
    _describe -t commands 'kerrow command' choices
  fi
  return
fi

case $words[2] in
  ([eEdD])
    if (( CURRENT == 3 )); then
      choices=('-b:block mode' '-s:stream mode')
      _describe -t modes 'mode' choices
    elif (( CURRENT <= 7 )); then
      _files
    else
      return 1
    fi
    ;;
  ([kK])
    (( CURRENT <= 4 )) && _files
    ;;
  (*)
    # c, --help and --version take nothing more.
    return 1
    ;;
esac
