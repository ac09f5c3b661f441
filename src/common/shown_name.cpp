#include "common/shown_name.hpp"

#include <cstddef>

namespace kerrow {
namespace {

unsigned byte_at(std::string_view s, std::size_t i) { return static_cast<unsigned char>(s[i]); }

// The length of the UTF-8 character at the start of a non-empty s, or 0 when
// no well-formed character starts there.
std::size_t utf8_length(std::string_view s) noexcept {
    const unsigned lead = byte_at(s, 0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong below U+10000
        if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
    } else {
        return 0;
    }
    if (s.size() < length || byte_at(s, 1) < low || byte_at(s, 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte_at(s, i) < 0x80 || byte_at(s, i) > 0xBF) return 0;
    }
    return length;
}

// One character of a name, or one byte that starts none.
struct piece {
    std::size_t length;
    bool escaped;  // printed as a $'...' escape
};

piece piece_at(std::string_view s, bool to_terminal) {
    const unsigned lead = byte_at(s, 0);
    if (lead < 0x20 || lead == 0x7F) return {1, true};
    const std::size_t length = utf8_length(s);
    if (length == 0) return {1, to_terminal};
    // U+0080 to U+009F: C2 80 to C2 9F.
    return {length, lead == 0xC2 && byte_at(s, 1) < 0xA0};
}

void append_escape(std::string& out, unsigned b) {
    static constexpr char letters[] = "abtnvfr";  // 7 to 13, as bash's $'...' reads them
    out += '\\';
    if (b >= 7 && b <= 13) {
        out += letters[b - 7];
    } else {
        out += static_cast<char>('0' + (b >> 6));
        out += static_cast<char>('0' + ((b >> 3) & 7));
        out += static_cast<char>('0' + (b & 7));
    }
}

}  // namespace

bool is_utf8(std::string_view text) noexcept {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8_length(text.substr(at));
        if (length == 0) return false;
        at += length;
    }
    return true;
}

std::string shown_name(std::string_view name, bool to_terminal) {
    bool needs_quotes = false;
    for (std::size_t at = 0; at < name.size() && !needs_quotes;) {
        const piece p = piece_at(name.substr(at), to_terminal);
        needs_quotes = p.escaped;
        at += p.length;
    }
    if (!needs_quotes) return std::string(name);

    // The same layout as ls's shell-escape style, byte for byte, so the form
    // is a familiar one: a quote is '\'' in either kind of segment, and a
    // plain character after an escape reopens the quotes with ''.
    std::string out = "'";
    bool in_escapes = false;
    for (std::size_t at = 0; at < name.size();) {
        const piece p = piece_at(name.substr(at), to_terminal);
        if (p.escaped) {
            if (!in_escapes) out += "'$'";
            in_escapes = true;
            for (std::size_t i = 0; i < p.length; ++i) append_escape(out, byte_at(name, at + i));
        } else if (name[at] == '\'') {
            out += "'\\''";
            in_escapes = false;
        } else {
            if (in_escapes) out += "''";
            in_escapes = false;
            out.append(name, at, p.length);
        }
        at += p.length;
    }
    out += '\'';
    return out;
}

}  // namespace kerrow
