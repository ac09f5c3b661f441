// Preloaded into a run of the tool (LD_PRELOAD) to make a race happen at a
// chosen moment: the first call of KERROW_PAUSE_CALL ("openat" or
// "renameat") whose last path names KERROW_PAUSE_NAME runs, then the run
// waits there until the test has done its part: the library makes the file
// KERROW_PAUSED and waits for the file KERROW_RESUME (at most 20 s).
// With KERROW_FAIL_RANDOM set, the system's random source fails instead
// (getentropy and getrandom, as on a kernel without them), so that a test
// can see what a run does without one.
// The wrappers are the plain calls: the 64-bit forms come as their own
// symbols.
#undef _TIME_BITS
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

bool paused_once = false;

bool names(const char* path, const char* name) {
    if (path == nullptr || name == nullptr) return false;
    const char* slash = std::strrchr(path, '/');
    return std::strcmp(slash != nullptr ? slash + 1 : path, name) == 0;
}

void pause_if(const char* call, const char* path) {
    const char* want = std::getenv("KERROW_PAUSE_CALL");
    if (paused_once || want == nullptr || std::strcmp(want, call) != 0 || !names(path, std::getenv("KERROW_PAUSE_NAME"))) {
        return;
    }
    paused_once = true;
    const char* paused = std::getenv("KERROW_PAUSED");
    const char* resume = std::getenv("KERROW_RESUME");
    if (paused == nullptr || resume == nullptr) return;
    const int fd = ::open(paused, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) ::close(fd);
    for (int k = 0; k < 20000 && ::access(resume, F_OK) != 0; ++k) ::usleep(1000);
}

template <class F>
F next(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

int open_at(const char* symbol, int dir, const char* path, int flags, va_list args) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) mode = static_cast<mode_t>(va_arg(args, int));
    using open_fn = int (*)(int, const char*, int, ...);
    static const open_fn real = next<open_fn>(symbol);
    const int fd = real(dir, path, flags, mode);
    pause_if("openat", path);
    return fd;
}

}  // namespace

extern "C" {

int openat(int dir, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int fd = open_at("openat", dir, path, flags, args);
    va_end(args);
    return fd;
}

int openat64(int dir, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int fd = open_at("openat64", dir, path, flags, args);
    va_end(args);
    return fd;
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
    using rename_fn = int (*)(int, const char*, int, const char*);
    static const rename_fn real = next<rename_fn>("renameat");
    const int rc = real(from_dir, from, to_dir, to);
    pause_if("renameat", to);
    return rc;
}

int getentropy(void* buffer, size_t length) {
    using entropy_fn = int (*)(void*, size_t);
    static const entropy_fn real = next<entropy_fn>("getentropy");
    if (std::getenv("KERROW_FAIL_RANDOM") == nullptr) return real(buffer, length);
    errno = ENOSYS;
    return -1;
}

ssize_t getrandom(void* buffer, size_t length, unsigned flags) {
    using random_fn = ssize_t (*)(void*, size_t, unsigned);
    static const random_fn real = next<random_fn>("getrandom");
    if (std::getenv("KERROW_FAIL_RANDOM") == nullptr) return real(buffer, length, flags);
    errno = ENOSYS;
    return -1;
}

}  // extern "C"
