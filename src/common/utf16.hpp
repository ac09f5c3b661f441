// UTF-8, the form every text is held in inside, to the UTF-16 of the Windows
// API and back (Windows only).
#pragma once

#include <string>

namespace kerrow {

// False when the text can't be converted (or memory runs out).
bool to_utf16(const char* text, std::wstring& out) noexcept;
bool to_utf8(const wchar_t* text, std::string& out) noexcept;

}  // namespace kerrow
