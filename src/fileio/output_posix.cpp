// The output's system calls on POSIX systems. The folder of the output's
// entry is held open, and every later step names the entry through it
// (openat, renameat, unlinkat), so that what a path names can't change under
// the run: the kernel resolves each path once, and a folder moved meanwhile
// takes its entries with it.
#include "fileio/output_system.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#ifdef __linux__
#include <sys/xattr.h>
#endif

#include "common/random.hpp"

namespace kerrow {
namespace {

int open_folder(int at, const char* path) {
    // A folder needs no read permission to hold a file the user may write:
    // it is opened only to be searched.
#if defined(O_PATH)
    constexpr int flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
    constexpr int flags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
    int fd;
    do {
        fd = ::openat(at, path, flags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// A path's folder and last part: "a/b/c" gives "a/b" and "c", "c" gives "."
// and "c", "/c" gives "/" and "c".
// (Assigned in place: g++ 12 sees a false overlap in a copy of a literal
// or of a substring.)
void split(const std::string& path, std::string& folder, std::string& name) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        folder.assign(1, '.');
        name = path;
        return;
    }
    folder.assign(path, 0, slash == 0 ? 1 : slash);
    name.assign(path, slash + 1, std::string::npos);
}

bool names_only_a_folder(const std::string& name) { return name.empty() || name == "." || name == ".."; }

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The text of the link at `name` in `folder`, or "" when it can't be read.
std::string link_text(int folder, const std::string& name) {
    for (std::size_t size = 256; size <= (std::size_t{1} << 20); size *= 4) {
        std::string text(size, '\0');
        const ssize_t n = ::readlinkat(folder, name.c_str(), text.data(), text.size());
        if (n < 0) return {};
        if (static_cast<std::size_t>(n) < text.size()) {
            text.resize(static_cast<std::size_t>(n));
            return text;
        }
    }
    return {};
}

// The kernel opened a regular file through `place.entry`: finds the
// directory entry that the links from there end at, opening each folder on
// the way through the last, and gives true when that entry names the file
// the kernel opened. Any other answer (the links re-pointed meanwhile) is a
// file this run never opened, and false.
bool walk_to_entry(output_place& place, const struct stat& opened) {
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st {};
        if (::fstatat(place.folder, place.entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
        if (!S_ISLNK(st.st_mode)) return S_ISREG(st.st_mode) && same_file(st, opened);
        const std::string link = link_text(place.folder, place.entry);
        std::string folder, name;
        split(link, folder, name);
        if (link.empty() || names_only_a_folder(name)) return false;
        if (link.find('/') != std::string::npos) {
            const bool absolute = link.front() == '/';
            const int next = open_folder(absolute ? AT_FDCWD : place.folder, folder.c_str());
            if (next < 0) return false;
            ::close(place.folder);
            place.folder = next;
            place.folder_path = absolute || place.folder_path == "." ? folder : place.folder_path + "/" + folder;
        }
        place.entry = name;
    }
    return false;
}

bool clear_nonblocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

mode_t umask_of_process() {
    static const mode_t mask = [] {
        const mode_t m = ::umask(077);
        ::umask(m);
        return m;
    }();
    return mask;
}

// "<entry>.kerrow-unfinished-", the entry's name cut (at a character's
// start) so that the whole fits where the entry's name did.
std::string unfinished_stem(const std::string& entry) {
    constexpr std::size_t longest_kept = 200;
    std::size_t end = entry.size();
    if (end > longest_kept) {
        end = longest_kept;
        while (end > 0 && (static_cast<unsigned char>(entry[end]) & 0xC0) == 0x80) --end;
    }
    return entry.substr(0, end) + ".kerrow-unfinished-";
}

#ifdef __linux__
constexpr const char* acl_attribute = "system.posix_acl_access";

// What a file's access control list is: none beyond its mode, one (read
// into `acl`), or not to be told.
enum class acl_state { none, some, unknown };

acl_state read_acl(int fd, char (&acl)[4096], std::size_t& bytes) {
    const ssize_t n = ::fgetxattr(fd, acl_attribute, acl, sizeof acl);
    if (n < 0) return errno == ENODATA || errno == ENOTSUP ? acl_state::none : acl_state::unknown;
    bytes = static_cast<std::size_t>(n);
    return n > 0 ? acl_state::some : acl_state::none;
}
#endif

}  // namespace

void release_place(output_place& place) noexcept {
    close_quietly(place.found);
    close_quietly(place.folder);
    place.regular = false;
    place.entry.clear();
    place.folder_path.clear();
    place.id = {};
}

bool resolve_output(const char* path, output_place& place, int& error) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        release_place(place);
        split(path, place.folder_path, place.entry);
        if (place.entry.empty()) {
            // A trailing slash: the kernel tells what it names.
            int fd = ::open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            error = fd >= 0 ? EISDIR : errno;
            close_quietly(fd);
            return false;
        }
        if (names_only_a_folder(place.entry)) {
            error = EISDIR;
            return false;
        }
        place.folder = open_folder(AT_FDCWD, place.folder_path.c_str());
        if (place.folder < 0) {
            error = errno;
            return false;
        }
        // O_NONBLOCK: a FIFO with no reader would stall the open for ever.
        // Nothing is created: a name that leads nowhere is a new output.
        int fd;
        do {
            fd = ::openat(place.folder, place.entry.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            error = errno;
            return error == ENOENT;
        }
        place.found = fd;
        struct stat st {};
        if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
            error = S_ISDIR(st.st_mode) ? EISDIR : errno;
            release_place(place);
            return false;
        }
        place.id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
        if (!S_ISREG(st.st_mode)) {
            // A device or FIFO, however it is named (/dev/stdout, say), takes
            // the result directly.
            if (!clear_nonblocking(fd)) {
                error = errno;
                release_place(place);
                return false;
            }
            return true;
        }
        place.regular = true;
        if (walk_to_entry(place, st)) return true;
    }
    release_place(place);
    error = changed_error;
    return false;
}

bool folder_takes_new_files(const output_place& place) {
    if (::faccessat(place.folder, ".", W_OK | X_OK, AT_EACCESS) != 0) return false;
    // Append-only and immutable folders take no rename; only some systems
    // tell, each its own way.
#if defined(__linux__) && defined(STATX_ATTR_APPEND)
    struct statx sx {};
    if (::statx(place.folder, "", AT_EMPTY_PATH, 0, &sx) == 0 &&
        (sx.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0) {
        errno = EPERM;
        return false;
    }
#elif defined(UF_APPEND) && defined(UF_IMMUTABLE)
    struct stat st {};
    if (::fstat(place.folder, &st) == 0 && (st.st_flags & (UF_APPEND | UF_IMMUTABLE | SF_APPEND | SF_IMMUTABLE)) != 0) {
        errno = EPERM;
        return false;
    }
#endif
    return true;
}

bool found_file_is_others_in_sticky_folder(const output_place& place) {
    struct stat file {}, folder {};
    if (::fstat(place.found, &file) != 0 || ::fstat(place.folder, &folder) != 0) return true;
    return (folder.st_mode & S_ISVTX) != 0 && file.st_uid != ::geteuid();
}

bool create_beside(const output_place& place, std::string& name, file_handle& file, file_id& id) {
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    const std::string stem = unfinished_stem(place.entry);
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char pick[6] = {};
        if (!system_random(pick, sizeof pick)) {
            // The name needs no secret, only a low chance of a clash: the
            // exclusive create below keeps it safe either way.
            for (std::size_t j = 0; j < sizeof pick; ++j) {
                pick[j] = static_cast<unsigned char>((::getpid() >> (4 * j)) + attempt * 7 + j * 13);
            }
        }
        name = stem;
        for (const unsigned char c : pick) name += letters[c % (sizeof letters - 1)];
        int fd;
        do {
            fd = ::openat(place.folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            struct stat st {};
            if (::fstat(fd, &st) != 0) {
                const int e = errno;
                ::unlinkat(place.folder, name.c_str(), 0);
                ::close(fd);
                errno = e;
                return false;
            }
            id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
            file = fd;
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

bool apply_final_permissions(file_handle result, const output_place& place, unsigned new_mode) {
    const mode_t new_output_mode = static_cast<mode_t>(new_mode & 0666) & ~umask_of_process();
    struct stat old {}, made {};
    if (!place.regular) return ::fchmod(result, new_output_mode) == 0;
    if (::fstat(place.found, &old) != 0 || ::fstat(result, &made) != 0) return true;  // stays owner-only
    // A mode is taken over only where the result gets the old file's owner
    // as well: another user's bits on a file of this user's would open it to
    // whoever that user let in.
    const bool owner_kept = old.st_uid == made.st_uid || ::fchown(result, old.st_uid, static_cast<gid_t>(-1)) == 0;
    if (!owner_kept) return ::fchmod(result, new_output_mode) == 0;
    mode_t mode = old.st_mode & 07777;
    // The group's bits mean nothing under another group: they go with it.
    const bool group_kept = old.st_gid == made.st_gid || ::fchown(result, static_cast<uid_t>(-1), old.st_gid) == 0;
    if (!group_kept) mode &= ~static_cast<mode_t>(S_IRWXG | S_ISGID);
#ifdef __linux__
    // Under an access control list the mode's group bits are its mask, an
    // upper bound for the named users and groups; without the list they
    // would be the owning group's own. So a list that can't be read, or
    // can't be carried over, takes the group's bits with it.
    char acl[4096];
    std::size_t acl_bytes = 0;
    const acl_state acl_found = read_acl(place.found, acl, acl_bytes);
    if (acl_found == acl_state::unknown) mode &= ~static_cast<mode_t>(S_IRWXG);
    if (::fchmod(result, mode) != 0) return false;
    if (acl_found == acl_state::some && group_kept &&
        ::fsetxattr(result, acl_attribute, acl, acl_bytes, 0) != 0) {
        return ::fchmod(result, mode & ~static_cast<mode_t>(S_IRWXG)) == 0;
    }
    return true;
#else
    return ::fchmod(result, mode) == 0;
#endif
}

bool sync_file(file_handle file) { return ::fsync(file) == 0; }

bool close_file(file_handle& file) {
    const int rc = ::close(file);
    file = -1;
    return rc == 0;
}

bool rename_over(output_place& place, const std::string& unfinished) {
    return ::renameat(place.folder, unfinished.c_str(), place.folder, place.entry.c_str()) == 0;
}

bool entry_taken(const output_place& place) {
    struct stat st {};
    return ::fstatat(place.folder, place.entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

bool rename_to_new(const output_place& place, const std::string& unfinished) {
#if defined(__linux__) && defined(RENAME_NOREPLACE)
    if (::renameat2(place.folder, unfinished.c_str(), place.folder, place.entry.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) return false;  // else a file system that can't say
#endif
    // A link never takes an existing name; the second name then goes.
    if (::linkat(place.folder, unfinished.c_str(), place.folder, place.entry.c_str(), 0) != 0) return false;
    ::unlinkat(place.folder, unfinished.c_str(), 0);
    return true;
}

bool remove_unfinished(const output_place& place, const std::string& unfinished, const file_id& id) {
    struct stat st {};
    if (::fstatat(place.folder, unfinished.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    if (static_cast<std::uint64_t>(st.st_dev) != id.volume || static_cast<std::uint64_t>(st.st_ino) != id.index) {
        return true;  // not the file this run made: someone else's now
    }
    return ::unlinkat(place.folder, unfinished.c_str(), 0) == 0 || errno == ENOENT;
}

}  // namespace kerrow
