// How a name the user gave (a path, a count's text) shows in a message line:
// as it is, unless a character in it could break the line or act on the
// terminal; then quoted the way `ls` quotes it for a POSIX shell, so that the
// line stays one line and the shown text, pasted into bash, is the name.
#pragma once

#include <string>
#include <string_view>

namespace kerrow {

// The name itself when every character shows as it is. Otherwise the name in
// single quotes, with each run of characters that must not be printed raw in
// a $'...' segment ("\n", "\t" and the other letter escapes, else three octal
// digits per byte: "\033", "\377") and each single quote as \'. Printed raw
// never: the C0 controls, DEL and the C1 controls U+0080 to U+009F; nor,
// when `to_terminal`, bytes that are not UTF-8, which a terminal may take for
// controls of its own. Elsewhere (a file, a pipe) those bytes stay as they
// are: a script gets the name's own bytes.
std::string shown_name(std::string_view name, bool to_terminal);

// True when the text is UTF-8 throughout (no overlong forms, surrogates or
// values past U+10FFFF): shown_name then gives the same whether or not the
// line goes to a terminal.
bool is_utf8(std::string_view text) noexcept;

}  // namespace kerrow
