// Paths as the Windows API takes them (Windows only).
#pragma once

#include <string>

namespace kerrow {

// The wide form of a UTF-8 path, made absolute and given the \\?\ prefix, so
// that paths of any length work on every Windows. False when the path is not
// UTF-8 or names nothing the system can make absolute.
bool system_path(const char* path, std::wstring& out);

}  // namespace kerrow
