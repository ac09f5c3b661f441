// The output's system calls on Windows. Entries are named by their whole
// path (\\?\ form); the file found at the output's name is held open, shared
// for reading only, until the result replaces it, so that no other program
// changes or moves it meanwhile. Permissions are access control lists: the
// unfinished file grants its owner alone, and a replaced file's list is
// carried over. The POSIX counterpart is output_posix.cpp.
#include "fileio/output_system.hpp"

#include <windows.h>
#include <aclapi.h>

#include <string>
#include <string_view>

#include "common/random.hpp"
#include "common/utf16.hpp"
#include "fileio/windows_path.hpp"

namespace kerrow {
namespace {

HANDLE as_handle(file_handle file) { return static_cast<HANDLE>(file); }

bool to_wide(const std::string& path, std::wstring& wide) {
    if (to_utf16(path.c_str(), wide)) return true;
    ::SetLastError(ERROR_INVALID_NAME);
    return false;
}

file_id id_from(const BY_HANDLE_FILE_INFORMATION& info) {
    return {info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
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

// The name a handle's file finally has, links and junctions followed, as
// the system tells it in a form that needs no length limit; false when it
// can't tell.
bool final_name(HANDLE file, std::wstring& name) {
    const DWORD size = ::GetFinalPathNameByHandleW(file, nullptr, 0, FILE_NAME_NORMALIZED);
    if (size == 0) return false;
    std::wstring final(size, L'\0');
    const DWORD n = ::GetFinalPathNameByHandleW(file, final.data(), size, FILE_NAME_NORMALIZED);
    if (n == 0 || n >= size || !final.starts_with(L"\\\\?\\")) return false;
    final.resize(n);
    name = final;
    return true;
}

// Whether the entry `name` itself (not what a link there leads to) is the
// file `id`.
bool entry_is(const std::wstring& name, const file_id& id) {
    const HANDLE entry = ::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (entry == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool same = ::GetFileInformationByHandle(entry, &info) && id_from(info) == id &&
                      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    ::CloseHandle(entry);
    return same;
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// "<entry>.kerrow-unfinished-" and six random letters.
std::wstring unfinished_name(const std::wstring& entry, int attempt) {
    static constexpr wchar_t letters[] = L"abcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char pick[6] = {};
    if (!system_random(pick, sizeof pick)) {
        // The name needs no secret, only a low chance of a clash: the
        // exclusive create keeps it safe either way.
        const auto seed = ::GetTickCount64() ^ ::GetCurrentProcessId();
        for (std::size_t j = 0; j < sizeof pick; ++j) {
            pick[j] = static_cast<unsigned char>((seed >> (5 * j)) + static_cast<unsigned>(attempt) * 7);
        }
    }
    std::wstring name = entry + L".kerrow-unfinished-";
    for (const unsigned char c : pick) name += letters[c % (sizeof letters / sizeof letters[0] - 1)];
    return name;
}

// A security descriptor that grants the process's user alone, and nothing
// through the folder's inheritance. False when the system won't say who
// the user is.
class owner_only_security {
public:
    owner_only_security() {
        HANDLE token = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return;
        DWORD n = 0;
        const bool got = ::GetTokenInformation(token, TokenUser, user_, sizeof user_, &n) != 0;
        ::CloseHandle(token);
        if (!got) return;
        const PSID sid = reinterpret_cast<TOKEN_USER*>(user_)->User.Sid;
        if (!::InitializeAcl(reinterpret_cast<PACL>(acl_), sizeof acl_, ACL_REVISION) ||
            !::AddAccessAllowedAce(reinterpret_cast<PACL>(acl_), ACL_REVISION, FILE_ALL_ACCESS, sid) ||
            !::InitializeSecurityDescriptor(&sd_, SECURITY_DESCRIPTOR_REVISION) ||
            !::SetSecurityDescriptorDacl(&sd_, TRUE, reinterpret_cast<PACL>(acl_), FALSE) ||
            !::SetSecurityDescriptorControl(&sd_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
            return;
        }
        attributes_ = {sizeof attributes_, &sd_, FALSE};
        ready_ = true;
    }
    SECURITY_ATTRIBUTES* attributes() { return ready_ ? &attributes_ : nullptr; }

private:
    alignas(8) unsigned char user_[256] = {};
    alignas(8) unsigned char acl_[256] = {};
    SECURITY_DESCRIPTOR sd_{};
    SECURITY_ATTRIBUTES attributes_{};
    bool ready_ = false;
};

}  // namespace

void release_place(output_place& place) noexcept {
    close_quietly(place.found);
    place.regular = false;
    place.entry.clear();
    place.folder_path.clear();
    place.id = {};
}

bool resolve_output(const char* path, output_place& place, int& error) {
    std::wstring name;
    if (!system_path(path, name)) {
        error = ERROR_INVALID_NAME;
        return false;
    }
    // A device name would send the result to the device; NUL given whole is
    // the one a user means.
    if (names_device(path) && _stricmp(path, "NUL") != 0) {
        error = ERROR_BAD_DEVICE;
        return false;
    }
    for (int attempt = 0; attempt < 8; ++attempt) {
        release_place(place);
        // Held until the result replaces it: shared for reading alone.
        const HANDLE found = ::CreateFileW(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES | READ_CONTROL,
                                           FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (found == INVALID_HANDLE_VALUE) {
            error = static_cast<int>(::GetLastError());
            if (error != ERROR_FILE_NOT_FOUND) return false;
            // A new output, at the name as given.
            if (!to_utf8(name.c_str(), place.entry)) {
                error = ERROR_INVALID_NAME;
                return false;
            }
            place.folder_path = folder_of(place.entry);
            return true;
        }
        place.found = found;
        if (::GetFileType(found) != FILE_TYPE_DISK) return true;  // a device takes the result directly
        BY_HANDLE_FILE_INFORMATION info{};
        if (!::GetFileInformationByHandle(found, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            release_place(place);
            error = ERROR_ACCESS_DENIED;  // what opening a folder for writing says
            return false;
        }
        place.regular = true;
        place.id = id_from(info);
        // The entry the result takes is the one that names the file opened:
        // the name with its links followed, as the system tells it.
        std::wstring entry = name;
        final_name(found, entry);
        if (entry_is(entry, place.id) && to_utf8(entry.c_str(), place.entry)) {
            place.folder_path = folder_of(place.entry);
            return true;
        }
    }
    release_place(place);
    error = changed_error;
    return false;
}

bool folder_takes_new_files(const output_place& place) {
    // The only way to tell is to try: a file made to vanish when its handle
    // is closed, which the system does whatever becomes of this process.
    std::wstring entry;
    if (!to_wide(place.entry, entry)) return false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const HANDLE probe = ::CreateFileW(unfinished_name(entry, attempt).c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (probe != INVALID_HANDLE_VALUE) {
            ::CloseHandle(probe);
            return true;
        }
        if (::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
}

// Windows folders have no sticky bit: whoever may write the file may
// replace it.
bool found_file_is_others_in_sticky_folder(const output_place&) { return false; }

bool create_beside(const output_place& place, std::string& name, file_handle& file, file_id& id) {
    std::wstring entry;
    if (!to_wide(place.entry, entry)) return false;
    owner_only_security security;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring wide = unfinished_name(entry, attempt);
        const HANDLE made = ::CreateFileW(wide.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES | DELETE | WRITE_DAC,
                                          FILE_SHARE_READ, security.attributes(), CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                          nullptr);
        if (made == INVALID_HANDLE_VALUE) {
            if (::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS) return false;
            continue;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (!::GetFileInformationByHandle(made, &info) || !to_utf8(wide.c_str(), name)) {
            const DWORD error = ::GetLastError();
            FILE_DISPOSITION_INFO dispose{TRUE};
            ::SetFileInformationByHandle(made, FileDispositionInfo, &dispose, sizeof dispose);
            ::CloseHandle(made);
            ::SetLastError(error);
            return false;
        }
        id = id_from(info);
        file = made;
        return true;
    }
    return false;
}

bool apply_final_permissions(file_handle result, const output_place& place, unsigned new_mode) {
    // Where a list can't be read or set, the result keeps its owner-only
    // list: never more than the replaced file gave.
    if (place.regular) {
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (::GetSecurityInfo(as_handle(place.found), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &sd) != ERROR_SUCCESS) {
            return true;
        }
        // Taken as it stands, what it had from its folder included, and
        // kept from taking more: the folder's list may grant more today.
        ::SetSecurityInfo(as_handle(result), SE_FILE_OBJECT,
                          DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                          nullptr);
        ::LocalFree(sd);
        return true;
    }
    // A new output that others may read takes what the folder gives new
    // files; one for its owner alone (a key file) stays as it was made.
    if ((new_mode & 0077) != 0) {
        ACL empty{};
        if (::InitializeAcl(&empty, sizeof empty, ACL_REVISION)) {
            ::SetSecurityInfo(as_handle(result), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &empty, nullptr);
        }
    }
    return true;
}

bool sync_file(file_handle file) { return ::FlushFileBuffers(as_handle(file)) != 0; }

bool close_file(file_handle& file) {
    const BOOL closed = ::CloseHandle(as_handle(file));
    file = no_file;
    return closed != 0;
}

bool rename_over(output_place& place, const std::string& unfinished) {
    // The file held open since the start would keep its name from being
    // taken.
    close_quietly(place.found);
    std::wstring from, to;
    return to_wide(unfinished, from) && to_wide(place.entry, to) &&
           ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool entry_taken(const output_place& place) {
    std::wstring entry;
    return !to_wide(place.entry, entry) || ::GetFileAttributesW(entry.c_str()) != INVALID_FILE_ATTRIBUTES ||
           ::GetLastError() != ERROR_FILE_NOT_FOUND;
}

bool rename_to_new(const output_place& place, const std::string& unfinished) {
    std::wstring from, to;
    return to_wide(unfinished, from) && to_wide(place.entry, to) &&
           ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
}

bool remove_unfinished(const output_place&, const std::string& unfinished, const file_id& id) {
    std::wstring name;
    if (!to_wide(unfinished, name)) return false;
    const HANDLE file = ::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES | DELETE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_DISPOSITION_INFO dispose{TRUE};
    // A file that is not the one this run made is someone else's now.
    const bool others = ::GetFileInformationByHandle(file, &info) && id_from(info) != id;
    const bool removed = others || ::SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose) != 0;
    ::CloseHandle(file);
    return removed;
}

}  // namespace kerrow
