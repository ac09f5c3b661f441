// The file layer on Windows: wide-character paths, HANDLEs, reads and writes
// at offsets through OVERLAPPED, and a console control handler for
// interrupts. The POSIX counterpart is fileio_posix.cpp.
#include "fileio/fileio.hpp"

#include <windows.h>

#include <cstring>
#include <string>
#include <string_view>

#include "common/report.hpp"
#include "common/utf16.hpp"
#include "fileio/file_id.hpp"
#include "fileio/raw_io.hpp"

namespace kerrow {
namespace {

HANDLE as_handle(file_handle file) { return static_cast<HANDLE>(file); }

// The wide form of a UTF-8 path, made absolute and given the \\?\ prefix, so
// that paths of any length work on every Windows (a manifest that declares
// longPathAware needs a system setting as well). GetFullPathNameW first does
// to the path what the plain API would: "." and "..", "/" for "\", trailing
// dots and spaces, and device names such as NUL, which come back as \\.\NUL
// and are used as they are.
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

void close_quietly(file_handle& file) noexcept {
    if (file != no_file) {
        ::CloseHandle(as_handle(file));
        file = no_file;
    }
}

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

bool set_end(HANDLE file, std::int64_t length) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = length;
    return ::SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end) != 0;
}

// A console has no positions; NUL takes writes anywhere, as /dev/null does.
bool takes_positions(HANDLE file) {
    const DWORD type = ::GetFileType(file);
    DWORD mode = 0;
    return type == FILE_TYPE_DISK || (type == FILE_TYPE_CHAR && !::GetConsoleMode(file, &mode));
}

}  // namespace

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

namespace {

// A handle of this process's own to a standard stream, closed like any other.
file_handle own_standard(DWORD which) {
    HANDLE own = nullptr;
    const HANDLE std = ::GetStdHandle(which);
    if (std == nullptr || std == INVALID_HANDLE_VALUE ||
        !::DuplicateHandle(::GetCurrentProcess(), std, ::GetCurrentProcess(), &own, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        return no_file;
    }
    return own;
}

}  // namespace

bool input_file::open_standard_input() {
    close();
    path_.assign(1, '-');
    handle_ = own_standard(STD_INPUT_HANDLE);
    error_ = handle_ == no_file ? static_cast<int>(::GetLastError()) : 0;
    return handle_ != no_file;
}

int last_error() noexcept { return static_cast<int>(::GetLastError()); }

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

namespace {

// The unfinished result that an interrupt removes, by its handle while it is
// open and by its name from its close to its rename, so that no other file
// can be hit by it. The console control handler runs on a thread of its own,
// beside the main thread: the lock keeps them apart. Once the handler holds
// it, it never lets go, so the main thread can no longer close, rename or
// register anything before the process ends.
SRWLOCK removable_lock = SRWLOCK_INIT;
HANDLE removable = nullptr;
const wchar_t* removable_name = nullptr;

void mark_removable(HANDLE file, const wchar_t* name) {
    ::AcquireSRWLockExclusive(&removable_lock);
    removable = file;
    removable_name = name;
    ::ReleaseSRWLockExclusive(&removable_lock);
}

void clear_removable() { mark_removable(nullptr, nullptr); }

void say_on_stderr(const char* line, DWORD n) {
    DWORD k = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), line, n, &k, nullptr);
}

BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;  // the system's own handling
    }
    ::AcquireSRWLockExclusive(&removable_lock);
    // Marked for deletion, the file goes when its handle is closed, which
    // ending the process does; a write of the main thread in the meantime
    // does no harm.
    FILE_DISPOSITION_INFO dispose{TRUE};
    const bool removed =
        removable != nullptr
            ? ::SetFileInformationByHandle(removable, FileDispositionInfo, &dispose, sizeof dispose) != 0
            : removable_name != nullptr && ::DeleteFileW(removable_name) != 0;
    if (removed) {
        static constexpr char line[] = "kerrow: interrupted; the unfinished output was removed\r\n";
        say_on_stderr(line, sizeof line - 1);
    }
    // The exit code of the system's own handler. TerminateProcess rather than
    // ExitProcess: no library's exit work then waits for a lock that the
    // stopped main thread may hold. Standard output is unbuffered here, so
    // every line printed is already out.
    ::TerminateProcess(::GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

// True when the last part of a path is one of the names that Windows maps
// to a device in every folder: CON, PRN, AUX, NUL, COM1-9 or LPT1-9, with or
// without an extension, trailing dots and spaces.
bool names_device(const char* path) {
    std::string_view name = path;
    const std::size_t slash = name.find_last_of("/\\:");
    if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
    name = name.substr(0, name.find('.'));
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    std::string upper;
    for (const char c : name) upper += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL") return true;
    return upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) &&
           upper[3] >= '1' && upper[3] <= '9';
}

// Opens an existing output for writing, without truncating it; no_file
// with the system's error when it isn't there or can't be written.
HANDLE open_existing(const std::wstring& name) {
    const HANDLE file = ::CreateFileW(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

// The name a handle's file finally has, links followed, where the system
// can tell it in a form that needs no length limit; `name` is left as it
// was otherwise.
void take_final_name(HANDLE file, std::wstring& name) {
    const DWORD size = ::GetFinalPathNameByHandleW(file, nullptr, 0, FILE_NAME_NORMALIZED);
    if (size == 0) return;
    std::wstring final(size, L'\0');
    const DWORD n = ::GetFinalPathNameByHandleW(file, final.data(), size, FILE_NAME_NORMALIZED);
    if (n == 0 || n >= size) return;
    final.resize(n);
    if (final.starts_with(L"\\\\?\\")) name = final;
}

// A new file "<target>.kerrow-unfinished-XXXXXX" that no one else has, with
// the right to delete it by its handle.
HANDLE create_unfinished(const std::wstring& target, std::wstring& name) {
    static constexpr wchar_t digits[] = L"0123456789abcdefghijklmnopqrstuvwxyz";
    std::uint64_t seed = ::GetTickCount64() ^ (std::uint64_t{::GetCurrentProcessId()} << 20);
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = target + L".kerrow-unfinished-";
        for (int j = 0; j < 6; ++j) {
            seed = seed * 6364136223846793005u + 1442695040888963407u;
            name += digits[(seed >> 33) % 36];
        }
        const HANDLE file = ::CreateFileW(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES | DELETE,
                                          FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) return file;
        if (::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    return nullptr;
}

}  // namespace

unsigned mode_for_output_of(const input_file&) { return 0666; }

output_file::~output_file() { abandon(); }

void output_file::abandon() noexcept {
    if (kind_ == kind::beside) {
        clear_removable();
        close_quietly(handle_);
        std::wstring name;
        if (to_utf16(unfinished_.c_str(), name) && !::DeleteFileW(name.c_str()) &&
            ::GetLastError() != ERROR_FILE_NOT_FOUND) {
            static constexpr char line[] = "kerrow: the unfinished output could not be removed\r\n";
            say_on_stderr(line, sizeof line - 1);
        }
    }
    close_quietly(handle_);
    kind_ = kind::none;
}

bool output_file::open_standard_output() {
    abandon();
    path_.assign(1, '-');  // not = "-": g++ 12 warns of a false overlap
    has_target_id_ = false;
    handle_ = own_standard(STD_OUTPUT_HANDLE);
    error_ = handle_ == no_file ? static_cast<int>(::GetLastError()) : 0;
    kind_ = handle_ != no_file ? kind::direct : kind::none;
    return handle_ != no_file;
}

bool output_file::open_here(const char* path, unsigned) {
    abandon();
    has_target_id_ = false;
    replacing_ = false;
    std::wstring name;
    // A device name would send the result to the device; NUL given whole is
    // the one a user means.
    if (!system_path(path, name)) return false;
    if (names_device(path) && _stricmp(path, "NUL") != 0) {
        ::SetLastError(ERROR_BAD_DEVICE);
        return false;
    }
    HANDLE existing = open_existing(name);
    if (existing == nullptr && ::GetLastError() != ERROR_FILE_NOT_FOUND) return false;
    std::wstring target = name;
    if (existing != nullptr) {
        BY_HANDLE_FILE_INFORMATION info{};
        if (::GetFileType(existing) != FILE_TYPE_DISK) {
            handle_ = existing;  // a device takes the result directly
            kind_ = kind::direct;
            return true;
        }
        if (!::GetFileInformationByHandle(existing, &info) ||
            (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            ::CloseHandle(existing);
            return false;
        }
        take_final_name(existing, target);
        target_id_.volume = info.dwVolumeSerialNumber;
        target_id_.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
        has_target_id_ = true;
        replacing_ = true;
    }
    std::wstring unfinished;
    const HANDLE file = create_unfinished(target, unfinished);
    if (file == nullptr) {
        if (existing == nullptr || ::GetLastError() != ERROR_ACCESS_DENIED) {
            if (existing != nullptr) ::CloseHandle(existing);
            return false;
        }
        // Nothing can be made beside it: the output is written in place.
        handle_ = existing;
        kind_ = kind::in_place;
        return true;
    }
    if (existing != nullptr) ::CloseHandle(existing);
    std::string utf8;
    if (!to_utf8(unfinished.c_str(), utf8) || !to_utf8(target.c_str(), target_)) {
        FILE_DISPOSITION_INFO dispose{TRUE};
        ::SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose);
        ::CloseHandle(file);
        return false;
    }
    handle_ = file;
    unfinished_ = std::move(utf8);
    unfinished_wide_ = std::move(unfinished);
    kind_ = kind::beside;
    mark_removable(file, unfinished_wide_.c_str());
    return true;
}

bool output_file::begin_result(bool positioned) {
    if (positioned && !takes_positions(as_handle(handle_))) {
        note_cause(path(), "a pipe or console can't take a block container, which is written at positions");
        return fail();
    }
    if (kind_ == kind::in_place && !set_end(as_handle(handle_), 0)) return fail();
    return true;
}

bool output_file::set_length(std::int64_t length) {
    if (kind_ == kind::direct) return true;
    return set_end(as_handle(handle_), length) || fail();
}

bool output_file::commit() {
    if (kind_ == kind::none) return true;
    if (kind_ == kind::beside && replacing_ &&
        (io_call_fails(io_call::sync) || !::FlushFileBuffers(as_handle(handle_)))) {
        return fail();
    }
    // From the close to the rename, an interrupt removes the file by its name.
    if (kind_ == kind::beside) mark_removable(nullptr, unfinished_wide_.c_str());
    const BOOL closed = io_call_fails(io_call::close) ? FALSE : ::CloseHandle(as_handle(handle_));
    handle_ = no_file;
    if (!closed) return fail();
    if (kind_ == kind::beside) {
        std::wstring target;
        if (io_call_fails(io_call::rename) || !to_utf16(target_.c_str(), target) ||
            !::MoveFileExW(unfinished_wide_.c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return fail();
        }
        clear_removable();
    }
    kind_ = kind::none;
    return true;
}

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

void guard_process() { ::SetConsoleCtrlHandler(on_console_event, TRUE); }

namespace {

DWORD WINAPI thread_main(LPVOID start) {
    const auto* s = static_cast<const thread_start*>(start);
    s->fn(s->arg);
    return 0;
}

}  // namespace

// Windows sends no signals to threads: a console event runs its handler on
// a thread of its own.
bool start_thread(thread_handle& thread, const thread_start& start) noexcept {
    thread = ::CreateThread(nullptr, 0, &thread_main, const_cast<thread_start*>(&start), 0, nullptr);
    return thread != nullptr;
}

void join_thread(thread_handle thread) noexcept {
    ::WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
}

}  // namespace kerrow
