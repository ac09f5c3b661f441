#include "cli/dispatch.hpp"

#include <cstdio>
#include <new>
#include <string_view>

#include "block/block_file.hpp"
#include "common/console.hpp"
#include "common/report.hpp"
#include "fileio/fileio.hpp"
#include "keymat/secure_words.hpp"
#include "stream/stream_file.hpp"

namespace kerrow {

const char* const usage_text =
    "USAGE: kerrow <e or d(encrypt or decrypt)> <-b or -s(block or stream))> <in file> "
    "<out file> <key file> <gamm file> <number of gcyc> [<number of mcyc> <block length>]"
    "\t\t\t []-only for block mode\n"
    "\n"
    "in file \t: full path-name of the source file to encrypt/decrypt\n"
    "out file\t: full path-name of the target file to store the result of encrypt/decrypt "
    "operation\n"
    "key file\t: full path-name of the key file(key size limited only by amount of system "
    "memory)\n"
    "gamm file\t: full path-name of the file contain additional data(any type) for gamma(size "
    "limited only by amount of system memory)\n"
    "number of mcyc\t: number of main cycles of algorithm (not limited, usualy <5 is enough "
    "(2))\n"
    "number of gcyc\t: number of cycles for preparative of gamma (not limited, usualy <5 is "
    "enough (4))\n"
    "block length\t: length of block in bytes (limited only by amount of system memory, usualy "
    "10000 is optimum)";

namespace {

constexpr const char* banner =
    "kerrow 1.0 - encrypts or decrypts one file per run\n"
    "Cipher: the kerrow block and stream cipher, keyed by a key file and a gamm file\n"
    "Notice: (c) 2026 the kerrow developers; provided as is, without warranty\n"
    "Run 'kerrow c' to write the notice record to copyright.enc\n"
    "\n";

constexpr int exit_ok = 0;
constexpr int exit_failure = 1;

// The four drivers. Arguments start at the in file; block drivers take
// seven, stream drivers five (anything after those is ignored).
struct driver {
    const char* mode;
    const char* direction;
    int min_argc;
    bool (*run)(const char* const* args);
    const char* failure_line;
};

constexpr driver drivers[] = {
    {"-b", "e", 10,
     [](const char* const* a) { return encrypt_block_file(a[0], a[1], a[2], a[3], a[4], a[5], a[6]); },
     "Error encrypting file!\n"},
    {"-b", "d", 10,
     [](const char* const* a) { return decrypt_block_file(a[0], a[1], a[2], a[3], a[4], a[5], a[6]); },
     "Error decrypting file!\n"},
    {"-s", "e", 8,
     [](const char* const* a) { return encrypt_stream_file(a[0], a[1], a[2], a[3], a[4]); },
     "Error processing file!\n"},
    {"-s", "d", 8,
     [](const char* const* a) { return decrypt_stream_file(a[0], a[1], a[2], a[3], a[4]); },
     "Error processing file!\n"},
};

bool same_nocase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        const char ca = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        if (ca != *b) return false;
    }
    return *a == *b;
}

int fail_with_usage(const char* line) {
    say(line);
    say(usage_text);
    say("\n");
    return exit_failure;
}

// Writes the notice record to copyright.enc in the current directory.
int write_notice() {
    output_file file;
    if (!file.open("copyright.enc")) {
        say("Error opening output file!\n");
        return exit_failure;
    }
    unsigned char record[notice_size];
    notice_record(record);
    return file.begin_result(false) && file.write(record, sizeof record) && file.close() ? exit_ok
                                                                                       : exit_failure;
}

// Runs a driver. Memory that runs out inside the standard library (the
// pipeline's lists, its thread) ends the run like any other shortage.
bool run_driver(const driver& d, const char* const* args) {
    try {
        return d.run(args);
    } catch (const std::bad_alloc&) {
        say("Out of memory!\n");
        return false;
    }
}

// `--help`, `-h` and `--version` as the only argument: the usage text or the
// version line, exit 0. Anything else, also such a word among other
// arguments, is dispatched as it always was.
bool answered_query(int argc, const char* const* argv) {
    if (argc != 2) return false;
    const std::string_view arg = argv[1];
    if (arg == "--help" || arg == "-h") {
        say(usage_text);
        say("\n");
        return true;
    }
    if (arg == "--version") {
        say("kerrow " KERROW_VERSION "\n");
        return true;
    }
    return false;
}

}  // namespace

int run_command_line(int argc, const char* const* argv) {
    say(banner);
    if (answered_query(argc, argv)) return exit_ok;
    if (argc < 2) return fail_with_usage("Not enough arguments.\n\n");
    if (same_nocase(argv[1], "c")) return write_notice();
    if (argc < 8) return fail_with_usage("Not enough arguments.\n\n");

    for (const driver& d : drivers) {
        if (!same_nocase(argv[2], d.mode)) continue;
        if (argc < d.min_argc) return fail_with_usage("Not enough arguments.\n\n");
        if (!same_nocase(argv[1], d.direction)) continue;
        return run_driver(d, argv + 3) ? exit_ok : fail_with_usage(d.failure_line);
    }
    return fail_with_usage("Bad arguments.\n\n");
}

int run_process(int argc, const char* const* argv) {
    protect_process();
    guard_process();
    flush_each_line();
    const int code = run_command_line(argc, argv);
    // Lines that could not be written make the run a failure; its file work
    // is kept.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) return exit_failure;
    return code;
}

}  // namespace kerrow
