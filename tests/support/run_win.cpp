// Runs of the built binary on Windows: CreateProcessW with standard output
// and error in files.
#include <windows.h>

#include <stdexcept>

#include "common/utf16.hpp"
#include "support/test_support.hpp"

namespace kerrow::test {
namespace {

std::wstring wide(const std::string& text) {
    std::wstring out;
    if (!to_utf16(text.c_str(), out)) throw std::runtime_error("not UTF-8: " + text);
    return out;
}

// One argument of a command line, as CommandLineToArgvW and the C runtime
// read it back: quoted, with the backslashes before a quote doubled.
std::wstring quoted(const std::string& arg) {
    std::wstring q = L"\"";
    std::size_t slashes = 0;
    for (const wchar_t c : wide(arg)) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        q.append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
        q += c;
        slashes = 0;
    }
    q.append(2 * slashes, L'\\');
    return q + L'"';
}

std::string text_of(const std::string& path) {
    const bytes raw = read_file(path);
    std::string text;
    for (std::size_t j = 0; j < raw.size(); ++j) {
        if (raw[j] != '\r' || j + 1 == raw.size() || raw[j + 1] != '\n') text += static_cast<char>(raw[j]);
    }
    return text;
}

}  // namespace

run_result run_kerrow(const std::vector<std::string>& args, const std::string& cwd,
                      const std::string& stdin_path) {
    if (!stdin_path.empty()) throw std::runtime_error("standard input from a file: POSIX tests only");
    std::wstring line = quoted(KERROW_BIN);
    for (const std::string& a : args) line += L" " + quoted(a);
    const scratch_dir logs;
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    const auto log = [&](const char* name) {
        return ::CreateFileW(wide(logs.file(name)).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    STARTUPINFOW start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = ::CreateFileW(L"NUL", GENERIC_READ, 0, &inherited, OPEN_EXISTING, 0, nullptr);
    start.hStdOutput = log("out");
    start.hStdError = log("err");
    const std::wstring dir = cwd.empty() ? std::wstring() : wide(cwd);
    PROCESS_INFORMATION child{};
    const bool started = ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                          cwd.empty() ? nullptr : dir.c_str(), &start, &child);
    for (HANDLE h : {start.hStdInput, start.hStdOutput, start.hStdError}) ::CloseHandle(h);
    if (!started) throw std::runtime_error("can't start " + std::string(KERROW_BIN));
    DWORD code = 0;
    ::WaitForSingleObject(child.hProcess, INFINITE);
    ::GetExitCodeProcess(child.hProcess, &code);
    ::CloseHandle(child.hProcess);
    ::CloseHandle(child.hThread);
    run_result r;
    r.exit_code = static_cast<int>(code);
    r.out = text_of(logs.file("out"));
    r.err = text_of(logs.file("err"));
    return r;
}

}  // namespace kerrow::test
