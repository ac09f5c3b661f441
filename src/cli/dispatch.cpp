#include "cli/dispatch.hpp"

#include <cstdio>
#include <new>
#include <string>
#include <string_view>

#include "block/block_file.hpp"
#include "cli/key_command.hpp"
#include "common/console.hpp"
#include "common/messages.hpp"
#include "common/report.hpp"
#include "common/run.hpp"
#include "fileio/fileio.hpp"
#include "fileio/raw_io.hpp"
#include "keymat/secure_words.hpp"
#include "stream/stream_file.hpp"

namespace kerrow {

const char* const usage_text = message::usage;

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

// The runs of the command line: the selectors, the arguments a run takes
// after the program name, and its lines. Arguments after those are ignored,
// with a warning.
struct run_row {
    const char* direction_selector;
    const char* mode_selector;
    direction dir;
    cipher_mode mode;
    int arguments;
    const char* failure_line;
    const char* uses;  // what the warning about ignored arguments says
};

constexpr run_row run_rows[] = {
    {"e", "-b", direction::encrypt, cipher_mode::block, 9, message::error_encrypting, "block mode takes 9"},
    {"d", "-b", direction::decrypt, cipher_mode::block, 9, message::error_decrypting, "block mode takes 9"},
    {"e", "-s", direction::encrypt, cipher_mode::stream, 7, message::error_processing, "stream mode takes 7"},
    {"d", "-s", direction::decrypt, cipher_mode::stream, 7, message::error_processing, "stream mode takes 7"},
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
        fail_to_open(file, message::error_opening_output);
        return exit_failure;
    }
    unsigned char record[notice_size];
    notice_record(record);
    return file.begin_result(false) && file.write(record, sizeof record) && file.commit() ? exit_ok
                                                                                        : exit_failure;
}

// Arguments from index `first` on are more than the command uses: one line on
// standard error says so, and the run goes on without them. Positions count
// from 1 after the program name, as in the usage text.
void warn_ignored(int argc, int first, const char* uses) {
    if (argc <= first) return;
    if (argc - first == 1) {
        std::fprintf(stderr, message::argument_ignored, first, uses);
    } else {
        std::fprintf(stderr, message::arguments_ignored, first, argc - 1, uses);
    }
}

std::string given(int argc) { return std::to_string(argc - 1) + " given"; }

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
        std::fprintf(stderr, message::stands_alone, argv[1]);
        return exit_failure;
    }
    if (help) {
        say(usage_text);
        say("\n");
        say(message::help_notes);
    } else {
        say("kerrow " KERROW_VERSION "\n");
    }
    return exit_ok;
}

}  // namespace

run_end run(const run_request& request) {
    // Memory that runs out inside the standard library (the pipeline's
    // lists, its thread) ends the run like any other shortage.
    try {
        if (request.mode == cipher_mode::stream) return run_stream(request);
        return request.dir == direction::encrypt ? run_block_encryption(request) : run_block_decryption(request);
    } catch (const std::bad_alloc&) {
        wipe_stack();
        fail(message::out_of_memory, request.in, "no memory for the run's buffers and lists");
        return run_end::failed;
    }
}

int run_command_line(int argc, const char* const* argv) {
    // Where the lines go is known before the first: with "-" as the output,
    // standard output carries the data and nothing else, and every line of
    // the run, the banner included, goes to standard error.
    const run_row* row = nullptr;
    if (argc >= 3) {
        for (const run_row& r : run_rows) {
            if (same_nocase(argv[1], r.direction_selector) && same_nocase(argv[2], r.mode_selector)) row = &r;
        }
    }
    const bool runs = row != nullptr && argc > row->arguments;
    messages_to_standard_error(runs && is_standard_stream(argv[4]));
    say(banner);
    if (const int code = answered_query(argc, argv); code != no_query) return code;
    if (argc < 2) {
        note_cause("command line", "no command given; kerrow --help tells what to give");
        return fail_with_usage(message::not_enough_arguments);
    }
    if (same_nocase(argv[1], "c")) {
        warn_ignored(argc, 2, "c takes no other arguments");
        return write_notice();
    }
    if (same_nocase(argv[1], "k")) {
        // The two paths, then both sizes or neither.
        if (argc < 4 || argc == 5) {
            note_cause(argv[1], "takes a key file and a gamm file, then both sizes or neither; " + given(argc));
            return fail_with_usage(message::not_enough_arguments);
        }
        warn_ignored(argc, 6, "k takes 5");
        const bool sized = argc > 5;
        return make_key_files(argv[2], argv[3], sized ? argv[4] : nullptr, sized ? argv[5] : nullptr) ? exit_ok
                                                                                                    : exit_failure;
    }
    if (argc < 8) {
        note_cause("command line", "a run takes 7 arguments after the program name, 9 in block mode; " + given(argc));
        return fail_with_usage(message::not_enough_arguments);
    }
    if (same_nocase(argv[2], "-b") && argc < 10) {
        note_cause(argv[2], "block mode takes 9 arguments after the program name; " + given(argc));
        return fail_with_usage(message::not_enough_arguments);
    }
    if (row == nullptr) {
        const bool mode_known = same_nocase(argv[2], "-b") || same_nocase(argv[2], "-s");
        if (mode_known) {
            note_cause(argv[1], "not a command: e (encrypt), d (decrypt), c or k");
        } else {
            note_cause(argv[2], "not a mode: -b (block) or -s (stream)");
        }
        return fail_with_usage(message::bad_arguments);
    }
    warn_ignored(argc, row->arguments + 1, row->uses);
    const run_request request{row->dir, row->mode, argv[3], argv[4], argv[5], argv[6], argv[7],
                              row->mode == cipher_mode::block ? argv[8] : nullptr,
                              row->mode == cipher_mode::block ? argv[9] : nullptr};
    // Ciphertext on a terminal is noise to the user and may upset the
    // terminal: refused before anything is read, as compressors do.
    if (request.dir == direction::encrypt && is_standard_stream(request.out) && output_is_terminal()) {
        note_cause("-", "standard output is a terminal, and encrypted data is not written to one; redirect it "
                        "to a file or a pipe, or give an output file");
        return exit_failure;
    }
    switch (run(request)) {
    case run_end::done: return exit_ok;
    case run_end::not_decrypted: return exit_failure;  // its closing line says all
    case run_end::failed: break;
    }
    return fail_with_usage(row->failure_line);
}

int run_process(int argc, const char* const* argv) {
    set_up_process();
    flush_each_line();
    const int code = run_command_line(argc, argv);
    // A failure's fixed lines are followed by what caused it.
    if (code != exit_ok) print_cause();
    // Lines that could not be written make the run a failure; its file work
    // is kept.
    if (std::fflush(messages()) != 0 || std::ferror(messages())) return exit_failure;
    return code;
}

}  // namespace kerrow
