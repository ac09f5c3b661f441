// The file layer's system calls that open inputs and move bytes, on
// Windows: wide-character paths, HANDLEs, and reads and writes at offsets
// through OVERLAPPED. The POSIX counterpart is raw_io_posix.cpp.
#include "fileio/raw_io.hpp"

#include <windows.h>

#include <string>

#include "common/utf16.hpp"
#include "fileio/file_id.hpp"
#include "fileio/fileio.hpp"
#include "fileio/process.hpp"
#include "fileio/windows_path.hpp"

namespace kerrow {
namespace {

HANDLE as_handle(file_handle file) { return static_cast<HANDLE>(file); }


// ReadFile and WriteFile take 32-bit counts: larger transfers go in pieces.
constexpr std::size_t max_piece = std::size_t{1} << 30;

DWORD piece(std::size_t left) { return static_cast<DWORD>(left < max_piece ? left : max_piece); }

OVERLAPPED at_offset(std::int64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset));
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    return at;
}

// A read or write at an offset moves the file's position as well (pread and
// pwrite don't): the position is noted before and put back after. Devices
// and pipes have none to keep.
struct kept_position {
    explicit kept_position(HANDLE h, bool positioned) : file(h) {
        kept = positioned && ::SetFilePointerEx(h, LARGE_INTEGER{}, &at, FILE_CURRENT);
    }
    bool restore() const { return !kept || ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN); }
    HANDLE file;
    LARGE_INTEGER at{};
    bool kept = false;
};

}  // namespace

void close_quietly(file_handle& file) noexcept {
    if (file != no_file) {
        ::CloseHandle(as_handle(file));
        file = no_file;
    }
}

// A manifest that declares longPathAware would need a system setting as
// well. GetFullPathNameW first does to the path what the plain API would:
// "." and "..", "/" for "\", trailing dots and spaces, and device names such
// as NUL, which come back as \\.\NUL and are used as they are.
bool system_path(const char* path, std::wstring& out) {
    std::wstring wide;
    if (!to_utf16(path, wide) || wide.empty()) return false;
    const DWORD size = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0) return false;
    std::wstring full(size, L'\0');
    const DWORD n = ::GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
    if (n == 0 || n >= size) return false;
    full.resize(n);
    if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) {
        out = full;
    } else if (full.starts_with(L"\\\\")) {
        out = L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
    } else {
        out = L"\\\\?\\" + full;
    }
    return true;
}

bool set_file_length(file_handle file, std::int64_t length) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = length;
    return ::SetFileInformationByHandle(as_handle(file), FileEndOfFileInfo, &end, sizeof end) != 0;
}

// A console has no positions; NUL takes writes anywhere, as /dev/null does.
bool takes_positions(file_handle file) noexcept {
    const DWORD type = ::GetFileType(as_handle(file));
    DWORD mode = 0;
    return type == FILE_TYPE_DISK || (type == FILE_TYPE_CHAR && !::GetConsoleMode(as_handle(file), &mode));
}

bool input_file::open(const char* path) {
    close();
    path_ = path;
    error_ = ERROR_INVALID_NAME;
    std::wstring name;
    if (!system_path(path, name)) return false;
    // Others may go on reading the input but not write it, so that a result
    // is made from one state of the file. A file that another program holds
    // open for writing is refused at the open.
    file_handle file = ::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error_ = static_cast<int>(::GetLastError());
        return false;
    }
    // Only a file on disk has a length and positions: a console, NUL, a pipe
    // or a folder is refused.
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(as_handle(file)) != FILE_TYPE_DISK ||
        !::GetFileInformationByHandle(as_handle(file), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error_ = not_regular_error;
        close_quietly(file);
        return false;
    }
    handle_ = file;
    error_ = 0;
    return true;
}

file_handle duplicate_standard_stream(int which) noexcept {
    HANDLE own = nullptr;
    const HANDLE std = ::GetStdHandle(which == 0 ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE);
    if (std == nullptr || std == INVALID_HANDLE_VALUE) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return no_file;
    }
    if (!::DuplicateHandle(::GetCurrentProcess(), std, ::GetCurrentProcess(), &own, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        return no_file;
    }
    return own;
}

bool input_file::open_standard_input() {
    close();
    path_.assign(1, '-');
    if (standard_stream_was_closed(0)) {
        error_ = closed_input_error;
        return false;
    }
    handle_ = duplicate_standard_stream(0);
    error_ = handle_ == no_file ? static_cast<int>(::GetLastError()) : 0;
    return handle_ != no_file;
}

int last_error() noexcept { return static_cast<int>(::GetLastError()); }

void set_last_error(int error) noexcept { ::SetLastError(static_cast<DWORD>(error)); }

void set_io_error() noexcept { ::SetLastError(ERROR_IO_DEVICE); }

std::string system_error_text(int error) {
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string utf8;
    if (n == 0 || !to_utf8(text, utf8)) utf8 = "system error " + std::to_string(error);
    if (text != nullptr) ::LocalFree(text);
    while (!utf8.empty() && (utf8.back() == '\n' || utf8.back() == '\r' || utf8.back() == '.' ||
                             utf8.back() == ' ')) {
        utf8.pop_back();
    }
    return utf8;
}

void input_file::close() noexcept { close_quietly(handle_); }

std::int64_t read_fully(file_handle file, void* dst, std::size_t n, std::int64_t offset) {
    auto* p = static_cast<unsigned char*>(dst);
    const kept_position position(as_handle(file), offset >= 0);
    std::size_t got = 0;
    while (got < n) {
        if (io_call_fails(io_call::read)) return -1;
        OVERLAPPED at = at_offset(offset + static_cast<std::int64_t>(got));
        DWORD k = 0;
        if (!::ReadFile(as_handle(file), p + got, piece(n - got), &k, offset < 0 ? nullptr : &at)) {
            // An offset at or past the end, or a pipe whose writer is done.
            if (::GetLastError() == ERROR_HANDLE_EOF || ::GetLastError() == ERROR_BROKEN_PIPE) break;
            return -1;
        }
        if (k == 0) break;
        got += k;
    }
    return position.restore() ? static_cast<std::int64_t>(got) : -1;
}

std::int64_t file_length(const input_file& file) {
    LARGE_INTEGER size{};
    return ::GetFileSizeEx(as_handle(file.handle()), &size) ? size.QuadPart : -1;
}

bool write_fully(file_handle file, const void* src, std::size_t n, std::int64_t offset) {
    const auto* p = static_cast<const unsigned char*>(src);
    const kept_position position(as_handle(file), offset >= 0);
    std::size_t done = 0;
    while (done < n) {
        if (io_call_fails(io_call::write)) return false;
        OVERLAPPED at = at_offset(offset + static_cast<std::int64_t>(done));
        DWORD k = 0;
        if (!::WriteFile(as_handle(file), p + done, piece(n - done), &k, offset < 0 ? nullptr : &at) ||
            k == 0) {
            return false;  // a write of nothing would repeat for ever
        }
        done += k;
    }
    return position.restore();
}

unsigned mode_for_output_of(const input_file&) { return 0666; }

namespace {

bool id_from(HANDLE file, file_id& id) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file, &info)) return false;
    id.volume = info.dwVolumeSerialNumber;
    id.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    return true;
}

}  // namespace

bool id_of(file_handle file, file_id& id) { return id_from(as_handle(file), id); }

bool id_of(const char* path, file_id& id) {
    std::wstring name;
    if (!system_path(path, name)) return false;
    // Only the attributes: such an open takes no part in sharing, so it works
    // on files that others hold open. Folders need the backup flag.
    file_handle file = ::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool known = id_from(as_handle(file), id);
    close_quietly(file);
    return known;
}

bool standard_output_id(file_id& id) {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    return out != nullptr && out != INVALID_HANDLE_VALUE && ::GetFileType(out) == FILE_TYPE_DISK &&
           id_from(out, id);
}

}  // namespace kerrow
