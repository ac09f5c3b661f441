# fish completion for kerrow: the command, the mode after e or d, then file
# names for the in, out, key and gamm files; after k, file names for the key
# and gamm files it writes. The counts and sizes after them are left to type.
# The selectors are read in either case, as kerrow reads them.

# True when the argument being completed is argument number $first to $last
# and the first argument is one of the letters $selectors (either case).
function __kerrow_at --argument-names selectors first last
    set -l words (commandline -opc)
    set -l n (count $words)
    test $n -ge $first -a $n -le $last
    and string match -qir -- "^[$selectors]\$" $words[2]
end

# No file names but where a rule below offers them.
complete -c kerrow -f

complete -c kerrow -n 'test (count (commandline -opc)) -eq 1' -a e -d 'encrypt a file'
complete -c kerrow -n 'test (count (commandline -opc)) -eq 1' -a d -d 'decrypt a file'
complete -c kerrow -n 'test (count (commandline -opc)) -eq 1' -a c -d 'write the notice record copyright.enc'
complete -c kerrow -n 'test (count (commandline -opc)) -eq 1' -a k -d 'write a new key file and gamm file of random bytes'
complete -c kerrow -n 'test (count (commandline -opc)) -eq 1' -s h -l help -d 'print the usage text'
complete -c kerrow -n 'test (count (commandline -opc)) -eq 1' -l version -d 'print the version'

complete -c kerrow -n '__kerrow_at ed 2 2' -a -b -d 'block mode'
complete -c kerrow -n '__kerrow_at ed 2 2' -a -s -d 'stream mode'
complete -c kerrow -n '__kerrow_at ed 3 6' -F
complete -c kerrow -n '__kerrow_at k 2 3' -F
