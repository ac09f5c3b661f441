// Count conversion against the C library's strtol, and arbitrary argument
// vectors through the whole front end. Every path argument (the key
// command's two included) is mapped onto a
// fixed set of names inside the scratch folder (regular files, a directory, a
// FIFO, links, devices, a missing folder), which is also the working
// directory, so no run can touch a file outside it.
//
// Input: strings separated by NUL bytes. The first is a count to convert;
// the rest are the arguments after the program name.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/dispatch.hpp"
#include "common/counts.hpp"
#include "fuzz_support.hpp"

namespace {

using namespace kerrow::fuzz;

constexpr const char* path_names[] = {
    "in.bin",  "out.bin",  "key.bin",  "gamm.bin",      "in.kbx",    "in.kst",
    "dir",     "link.key", "hard.gamm", "dir/../in.bin", "nosuch/out", "fifo",
    "/dev/null", "/dev/full", "/dev/zero", "empty.bin", "short.key",
};

const std::string plain_bytes = "forty bytes of plaintext for the runs!!";
const std::string key_bytes = "twelve bytes";
const std::string gamm_bytes = "8 bytes!";

struct fixture {
    captured_stdout out;
    fd_guard fds;
    std::string container;  // in.bin sealed in block mode with gcyc 3, mcyc 2, length 16
    std::string stream;     // in.bin sealed in stream mode with gcyc 3

    fixture() {
        if (::chdir(scratch().c_str()) != 0) fault("can't enter the scratch folder");
        ::mkdir("dir", 0700);
        ::mkfifo("fifo", 0600);
        reset();
        ::symlink("key.bin", "link.key");
        ::link("gamm.bin", "hard.gamm");
        out.begin();
        const char* block_args[] = {"kerrow", "e", "-b", "in.bin", "in.kbx", "key.bin", "gamm.bin",
                                    "3",      "2", "16"};
        const char* stream_args[] = {"kerrow", "e", "-s", "in.bin", "in.kst", "key.bin", "gamm.bin", "3"};
        if (kerrow::run_command_line(10, block_args) != 0 ||
            kerrow::run_command_line(8, stream_args) != 0) {
            fault("can't seal the fixture", out.text());
        }
        container = get_file("in.kbx");
        stream = get_file("in.kst");
    }

    // Puts every file back as it was: a run may have written any of them.
    void reset() const {
        put_file("in.bin", plain_bytes.data(), plain_bytes.size());
        put_file("key.bin", key_bytes.data(), key_bytes.size());
        put_file("gamm.bin", gamm_bytes.data(), gamm_bytes.size());
        put_file("in.kbx", container.data(), container.size());
        put_file("in.kst", stream.data(), stream.size());
        put_file("empty.bin", "", 0);
        put_file("short.key", "abc", 3);
        ::unlink("out.bin");
        ::unlink("copyright.enc");
    }
};

// atoi's reading of a count, by way of strtol: exact inside +-2^40, and past
// that only its sign matters.
void check_conversion(fixture& f, const std::string& text) {
    errno = 0;
    const long reference = std::strtol(text.c_str(), nullptr, 10);
    const std::int64_t value = kerrow::to_integer(text.c_str());
    constexpr std::int64_t exact = std::int64_t{1} << 40;
    if (reference > -exact && reference < exact) {
        check(value == reference, "to_integer differs from strtol", text);
    } else {
        check(reference > 0 ? value >= exact : value <= -exact, "to_integer lost a large count", text);
    }

    std::int32_t converted = 12345;
    f.out.begin();
    f.fds.begin();
    const bool ok = kerrow::convert_count(text.c_str(), converted);
    const std::string printed = f.out.text();
    const bool in_range = reference != 0 && reference >= INT32_MIN && reference <= INT32_MAX;
    check(ok == in_range, "convert_count took the wrong side", text);
    if (ok) {
        check(converted == reference && printed.empty(), "convert_count gave another value", text);
    } else {
        check(printed == "Value must be integer!\n", "convert_count refused without its line", text);
    }
}

// The name a path argument stands for: itself when it is one of the names,
// else the name its first byte picks.
std::string path_for(const std::string& arg) {
    for (const char* name : path_names) {
        if (arg == name) return arg;
    }
    constexpr std::size_t n = sizeof path_names / sizeof path_names[0];
    return path_names[arg.empty() ? 0 : static_cast<unsigned char>(arg[0]) % n];
}

// Counts stay as written, except that large values inside the 32-bit range
// are brought down so that a run stays short (gcyc and mcyc are loop counts).
std::string count_for(const std::string& arg) {
    const std::int64_t v = kerrow::to_integer(arg.c_str());
    if (v < INT32_MIN || v > INT32_MAX || (v >= -64 && v <= 64)) return arg;
    return std::to_string(v % 65);
}

// The regular file a name leads to, for the check that only the output changes.
std::string target_of(const std::string& name) {
    if (name == "link.key") return "key.bin";
    if (name == "hard.gamm") return "gamm.bin";
    if (name == "dir/../in.bin") return "in.bin";
    return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fixture f;
    std::vector<std::string> parts(1);
    for (std::size_t k = 0; k < size && parts.size() <= 12; ++k) {
        if (data[k] == 0) {
            parts.emplace_back();
        } else {
            parts.back().push_back(static_cast<char>(data[k]));
        }
    }
    check_conversion(f, parts[0]);

    // The key command takes its paths at 2 and 3 and its sizes after them.
    std::vector<std::string> args{"kerrow"};
    for (std::size_t k = 1; k < parts.size() && args.size() < 11; ++k) {
        const std::size_t position = args.size();
        const bool key_command = position >= 2 && (args[1] == "k" || args[1] == "K");
        const std::size_t first_path = key_command ? 2 : 3, last_path = key_command ? 3 : 6;
        if (position >= first_path && position <= last_path) {
            args.push_back(path_for(parts[k]));
        } else if (position > last_path) {
            args.push_back(count_for(parts[k]));
        } else {
            args.push_back(parts[k]);
        }
    }
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);

    f.reset();
    f.out.begin();
    f.fds.begin();
    const int code = kerrow::run_command_line(static_cast<int>(args.size()), argv.data());
    const std::string printed = f.out.text();
    f.fds.check_no_leak();

    check(code == 0 || code == 1, "an exit code other than 0 or 1", printed);
    const bool notice = args.size() >= 2 && (args[1] == "c" || args[1] == "C");
    const bool query = args.size() == 2 && (args[1] == "--help" || args[1] == "-h" || args[1] == "--version");
    const bool done = printed.find("\nDone.") != std::string::npos;
    if (notice) {
        check(code == 0 && size_of("copyright.enc") == 68, "the notice command failed", printed);
    } else if (query) {
        check(code == 0 && !done, "a query alone did not just answer", printed);
    } else {
        // A failed key check ends with its "Done." line and exit code 1.
        const bool rejected = printed.find("\nDone.Not decrypted.\n") != std::string::npos;
        check((code == 0) == (done && !rejected), "the exit code and the Done. line disagree", printed);
    }
    // Only the output may have changed (and only when a driver ran).
    const std::string written = args.size() >= 5 ? target_of(args[4]) : std::string();
    if (written != "in.bin") check(get_file("in.bin") == plain_bytes, "in.bin was changed", printed);
    if (written != "key.bin") check(get_file("key.bin") == key_bytes, "key.bin was changed", printed);
    if (written != "gamm.bin") check(get_file("gamm.bin") == gamm_bytes, "gamm.bin was changed", printed);
    if (written != "in.kbx") check(get_file("in.kbx") == f.container, "in.kbx was changed", printed);
    return 0;
}
