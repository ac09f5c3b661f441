#include "cli/dispatch.hpp"

#include <cstdio>
#include <new>
#include <string_view>

#include "block/block_file.hpp"
#include "cli/key_command.hpp"
#include "common/console.hpp"
#include "common/report.hpp"
#include "fileio/fileio.hpp"
#include "fileio/raw_io.hpp"
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

// The version is the build's (CMake's project version), as in `--version`.
constexpr const char* banner =
    "kerrow " KERROW_VERSION " - encrypts or decrypts one file per run\n"
    "Cipher: the kerrow block and stream cipher, keyed by a key file and a gamm file\n"
    "Notice: (c) 2026 the kerrow developers; provided as is, without warranty\n"
    "Run 'kerrow c' to write the notice record to copyright.enc\n"
    "\n";

constexpr int exit_ok = 0;
constexpr int exit_failure = 1;

// How a driver's run ended: done, failed (its line printed, the usage to
// follow), or finished with a failed key check, whose closing line says all.
enum class run_end { done, failed, rejected };

run_end ended(bool ok) { return ok ? run_end::done : run_end::failed; }

// The four drivers. Arguments start at the in file; block drivers take
// seven, stream drivers five (anything after those is ignored, with a
// warning).
struct driver {
    const char* mode;
    const char* direction;
    int min_argc;
    run_end (*run)(const char* const* args);
    const char* failure_line;
    const char* uses;  // what the warning about extra arguments says
};

constexpr driver drivers[] = {
    {"-b", "e", 10,
     [](const char* const* a) { return ended(encrypt_block_file(a[0], a[1], a[2], a[3], a[4], a[5], a[6])); },
     "Error encrypting file!\n", "block mode takes 9"},
    {"-b", "d", 10,
     [](const char* const* a) {
         switch (decrypt_block_file(a[0], a[1], a[2], a[3], a[4], a[5], a[6])) {
         case decryption::decrypted: return run_end::done;
         case decryption::not_decrypted: return run_end::rejected;
         case decryption::failed: break;
         }
         return run_end::failed;
     },
     "Error decrypting file!\n", "block mode takes 9"},
    {"-s", "e", 8,
     [](const char* const* a) { return ended(encrypt_stream_file(a[0], a[1], a[2], a[3], a[4])); },
     "Error processing file!\n", "stream mode takes 7"},
    {"-s", "d", 8,
     [](const char* const* a) { return ended(decrypt_stream_file(a[0], a[1], a[2], a[3], a[4])); },
     "Error processing file!\n", "stream mode takes 7"},
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
        note_cause("copyright.enc", error_text(file.error()).c_str());
        say("Error opening output file!\n");
        return exit_failure;
    }
    unsigned char record[notice_size];
    notice_record(record);
    return file.begin_result(false) && file.write(record, sizeof record) && file.commit() ? exit_ok
                                                                                        : exit_failure;
}

// Runs a driver. Memory that runs out inside the standard library (the
// pipeline's lists, its thread) ends the run like any other shortage.
run_end run_driver(const driver& d, const char* const* args) {
    try {
        return d.run(args);
    } catch (const std::bad_alloc&) {
        say("Out of memory!\n");
        return run_end::failed;
    }
}

// Arguments from index `first` on are more than the command uses: one line on
// standard error says so, and the run goes on without them. Positions count
// from 1 after the program name, as in the usage text.
void warn_ignored(int argc, int first, const char* uses) {
    if (argc <= first) return;
    if (argc - first == 1) {
        std::fprintf(stderr, "kerrow: warning: argument %d is ignored: %s\n", first, uses);
    } else {
        std::fprintf(stderr, "kerrow: warning: arguments %d to %d are ignored: %s\n", first, argc - 1,
                     uses);
    }
}

// What --help tells beyond the usage text: where to start, and what becomes
// of the output.
constexpr const char* help_notes =
    "\n"
    "kerrow k <key file> <gamm file> [<key bytes> <gamm bytes>] makes a new key file and gamm\n"
    "file of random bytes (64 and 4096 unless given; 5 at least), readable by you alone.\n"
    "\n"
    "The result goes to a new file beside the out file, readable by you alone, and replaces\n"
    "the out file only when the run succeeds: a failure, a failed key check or an interrupt\n"
    "leaves every file as it was. An out file whose folder can't take a new file, or another\n"
    "user's file in a sticky folder such as /tmp, is refused before anything is written.\n"
    "- as the in file is standard input; as the out file (stream mode), standard output.\n"
    "More in the manual page: man kerrow\n";

constexpr int no_query = -1;

// `--help`, `-h` and `--version` as the first argument: alone, the usage
// text or the version line, exit 0; followed by anything, refused with one
// line on standard error, exit 1. They are recognised only there and only
// spelt so; anywhere else they are ordinary arguments. Gives the exit code,
// or no_query for any other command line.
int answered_query(int argc, const char* const* argv) {
    if (argc < 2) return no_query;
    const std::string_view arg = argv[1];
    const bool help = arg == "--help" || arg == "-h";
    if (!help && arg != "--version") return no_query;
    if (argc > 2) {
        std::fprintf(stderr, "kerrow: %s: stands alone; give it without other arguments\n", argv[1]);
        return exit_failure;
    }
    if (help) {
        say(usage_text);
        say("\n");
        say(help_notes);
    } else {
        say("kerrow " KERROW_VERSION "\n");
    }
    return exit_ok;
}

}  // namespace

int run_command_line(int argc, const char* const* argv) {
    say(banner);
    if (const int code = answered_query(argc, argv); code != no_query) return code;
    if (argc < 2) return fail_with_usage("Not enough arguments.\n\n");
    if (same_nocase(argv[1], "c")) {
        warn_ignored(argc, 2, "c takes no other arguments");
        return write_notice();
    }
    if (same_nocase(argv[1], "k")) {
        // The two paths, then both sizes or neither.
        if (argc < 4 || argc == 5) return fail_with_usage("Not enough arguments.\n\n");
        warn_ignored(argc, 6, "k takes 5");
        const bool sized = argc > 5;
        return make_key_files(argv[2], argv[3], sized ? argv[4] : nullptr, sized ? argv[5] : nullptr) ? exit_ok
                                                                                                    : exit_failure;
    }
    if (argc < 8) return fail_with_usage("Not enough arguments.\n\n");

    for (const driver& d : drivers) {
        if (!same_nocase(argv[2], d.mode)) continue;
        if (argc < d.min_argc) return fail_with_usage("Not enough arguments.\n\n");
        if (!same_nocase(argv[1], d.direction)) continue;
        warn_ignored(argc, d.min_argc, d.uses);
        switch (run_driver(d, argv + 3)) {
        case run_end::done: return exit_ok;
        case run_end::rejected: return exit_failure;
        case run_end::failed: break;
        }
        return fail_with_usage(d.failure_line);
    }
    return fail_with_usage("Bad arguments.\n\n");
}

int run_process(int argc, const char* const* argv) {
    protect_process();
    guard_process();
    flush_each_line();
    // With "-" as the output, standard output carries the data and nothing
    // else: the run's lines, the banner included, go to standard error.
    if (argc > 4 && is_standard_stream(argv[4])) messages_to_standard_error();
    const int code = run_command_line(argc, argv);
    // A failure's fixed lines are followed by what caused it.
    if (code != exit_ok) print_cause();
    // Lines that could not be written make the run a failure; its file work
    // is kept.
    if (std::fflush(messages()) != 0 || std::ferror(messages())) return exit_failure;
    return code;
}

}  // namespace kerrow
