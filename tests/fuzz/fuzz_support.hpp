// Shared pieces of the fuzz targets: one scratch folder per process for the
// files the drivers read and write, standard output captured in a file there,
// a reader over the fuzzer's bytes, and the checks that abort on a fault.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

namespace kerrow::fuzz {

// Prints what went wrong and aborts, which libFuzzer reports as a crash.
[[noreturn]] inline void fault(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "\nFUZZ CHECK FAILED: %s\n%.*s\n", what, static_cast<int>(detail.size()),
                 detail.data());
    std::abort();
}

inline void check(bool ok, const char* what, std::string_view detail = {}) {
    if (!ok) fault(what, detail);
}

// The per-process scratch folder under $TMPDIR (or /tmp), made on first use
// and removed at exit. Every file a target names lies inside it.
inline const std::string& scratch() {
    static const std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                           "/kerrow-fuzz-XXXXXX";
        if (::mkdtemp(tmpl.data()) == nullptr) fault("mkdtemp failed", tmpl);
        static std::string removed;
        removed = tmpl;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(removed, ec);
        });
        return tmpl;
    }();
    return dir;
}

inline std::string in_scratch(const char* name) { return scratch() + "/" + name; }

inline void put_file(const std::string& path, const void* data, std::size_t n) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) fault("can't create a scratch file", path);
    const auto* p = static_cast<const unsigned char*>(data);
    while (n > 0) {
        const ssize_t k = ::write(fd, p, n);
        if (k <= 0) fault("can't write a scratch file", path);
        p += k;
        n -= static_cast<std::size_t>(k);
    }
    ::close(fd);
}

inline std::string get_file(const std::string& path) {
    std::string s;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return s;
    char buf[4096];
    for (ssize_t k; (k = ::read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<std::size_t>(k));
    ::close(fd);
    return s;
}

inline std::int64_t size_of(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

// Standard output goes to a file in the scratch folder for the whole run:
// begin() empties it before a driver runs, text() gives what the driver printed.
class captured_stdout {
public:
    captured_stdout() {
        const std::string path = in_scratch("stdout.txt");
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) fault("can't capture stdout");
        ::close(fd);
    }
    void begin() {
        std::fflush(stdout);
        if (::ftruncate(STDOUT_FILENO, 0) != 0) fault("can't empty captured stdout");
        ::lseek(STDOUT_FILENO, 0, SEEK_SET);
    }
    std::string text() {
        std::fflush(stdout);
        std::string s;
        char buf[4096];
        std::int64_t at = 0;
        for (ssize_t k; (k = ::pread(STDOUT_FILENO, buf, sizeof buf, at)) > 0; at += k) {
            s.append(buf, static_cast<std::size_t>(k));
        }
        return s;
    }
};

// Catches a file descriptor left open by a run: the descriptors open before
// the run (begin) must be exactly those open after it (check_no_leak).
class fd_guard {
public:
    void begin() { before_ = open_fds(); }
    void check_no_leak() const {
        const std::string after = open_fds();
        check(after == before_, "a file descriptor was left open", before_ + " -> " + after);
    }

private:
    static std::string open_fds() {
        std::string list;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
            list += e.path().filename().string() + " ";
        }
        return list;
    }
    std::string before_;
};

// Takes fields off the front of the fuzzer's bytes; a field past the end reads as 0.
class byte_reader {
public:
    byte_reader(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}
    std::uint8_t u8() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    std::int8_t i8() { return static_cast<std::int8_t>(u8()); }
    std::int16_t i16() {
        const auto lo = u8();
        return static_cast<std::int16_t>(lo | (u8() << 8));
    }
    // Up to n bytes; fewer when the input runs out.
    std::string_view take(std::size_t n) {
        if (n > n_) n = n_;
        std::string_view s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        n_ -= n;
        return s;
    }
    std::string_view rest() { return take(n_); }

private:
    const std::uint8_t* p_;
    std::size_t n_;
};

inline bool has_line(const std::string& out, std::string_view line) {
    std::size_t at = 0;
    while ((at = out.find(line, at)) != std::string::npos) {
        if ((at == 0 || out[at - 1] == '\n') &&
            (at + line.size() == out.size() || out[at + line.size()] == '\n')) {
            return true;
        }
        ++at;
    }
    return false;
}

// The last non-empty line that is not the time line.
inline std::string closing_line(const std::string& out) {
    std::string last;
    std::size_t from = 0;
    while (from < out.size()) {
        std::size_t to = out.find('\n', from);
        if (to == std::string::npos) to = out.size();
        const std::string_view line(out.data() + from, to - from);
        if (!line.empty() && line.substr(0, 6) != "Time:\t") last = line;
        from = to + 1;
    }
    return last;
}

// A signed 32-bit little-endian integer at byte `at`.
inline std::int32_t le32(std::string_view s, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 4; ++k) {
        v |= std::uint32_t{static_cast<unsigned char>(s[at + k])} << (8 * k);
    }
    return static_cast<std::int32_t>(v);
}

// The fields both driver targets take off the fuzzer's bytes: gcyc, mcyc (one
// byte each, kept to -8..8), block length (two bytes, kept to -299..299), key
// and gamm lengths (one byte each, 0..40), the key bytes, the gamm bytes, and
// the rest as the input file.
struct fuzz_case {
    int gcyc;
    int mcyc;
    int block_length;
    std::string_view key;
    std::string_view gamm;
    std::string_view input;
};

inline fuzz_case read_case(const std::uint8_t* data, std::size_t size) {
    byte_reader in(data, size);
    fuzz_case c{};
    c.gcyc = in.i8() % 9;
    c.mcyc = in.i8() % 9;
    c.block_length = in.i16() % 300;
    const std::size_t key_wanted = in.u8() % 41;
    const std::size_t gamm_wanted = in.u8() % 41;
    c.key = in.take(key_wanted);
    c.gamm = in.take(gamm_wanted);
    c.input = in.rest();
    return c;
}

// One driver call with its standard output captured and its file
// descriptors checked for leaks: what it returned and what it printed.
struct run_outcome {
    bool ok;
    std::string printed;
};

template <class Run>
run_outcome observe(captured_stdout& out, fd_guard& fds, Run run) {
    out.begin();
    fds.begin();
    const bool ok = run();
    run_outcome r{ok, out.text()};
    fds.check_no_leak();
    return r;
}

// A refused run: false, its line last, and no "Done.".
inline void check_refused(const run_outcome& r, const std::string& refusal) {
    check(!r.ok, "a run that must be refused succeeded", r.printed);
    check(closing_line(r.printed) == refusal, "wrong refusal line",
          r.printed + "\nexpected: " + refusal);
    check(r.printed.find("Done.") == std::string::npos, "a refused run printed Done.", r.printed);
}

}  // namespace kerrow::fuzz
