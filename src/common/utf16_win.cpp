#include "common/utf16.hpp"

#include <windows.h>

namespace kerrow {

// Both directions ask for the length first, then convert; the counts include
// the terminating zero, which the strings hold on their own.
bool to_utf16(const char* text, std::wstring& out) noexcept {
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (n <= 0) return false;
    try {
        out.assign(static_cast<std::size_t>(n), L'\0');
    } catch (...) {
        return false;
    }
    if (::MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), n) != n) return false;
    out.pop_back();
    return true;
}

bool to_utf8(const wchar_t* text, std::string& out) noexcept {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return false;
    try {
        out.assign(static_cast<std::size_t>(n), '\0');
    } catch (...) {
        return false;
    }
    if (::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr) != n) {
        return false;
    }
    out.pop_back();
    return true;
}

}  // namespace kerrow
