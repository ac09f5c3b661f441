// Every fixed line the tool prints, in one place. Scripts match them, so each
// is exact, its spelling included ("sise", "Successfuly", "usualy"). A line
// of a failure is printed with fail() (report.hpp), which notes its cause.
#pragma once

namespace kerrow::message {

// The front end. The usage text is nine lines without a newline after the
// last; it follows the failure lines.
inline constexpr char usage[] =
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

// What --help tells beyond the usage text: where to start, and what becomes
// of the output.
inline constexpr char help_notes[] =
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

// On standard error (formats of std::printf).
inline constexpr char argument_ignored[] = "kerrow: warning: argument %d is ignored: %s\n";
inline constexpr char arguments_ignored[] = "kerrow: warning: arguments %d to %d are ignored: %s\n";
inline constexpr char stands_alone[] = "kerrow: %s: stands alone; give it without other arguments\n";

inline constexpr char not_enough_arguments[] = "Not enough arguments.\n\n";
inline constexpr char bad_arguments[] = "Bad arguments.\n\n";
inline constexpr char error_encrypting[] = "Error encrypting file!\n";
inline constexpr char error_decrypting[] = "Error decrypting file!\n";
inline constexpr char error_processing[] = "Error processing file!\n";

// Opening a run's files.
inline constexpr char error_opening_input[] = "Error opening input file!\n";
inline constexpr char error_opening_output[] = "Error opening output file!\n";
inline constexpr char error_opening_ciphertext[] = "Error opening Ciphertext file!\n";
inline constexpr char error_opening_plaintext[] = "Error opening Plaintext file!\n";
inline constexpr char error_opening_key[] = "Error opening key file!\n";
inline constexpr char error_opening_gamm[] = "Error opening gamm file!\n";
inline constexpr char same_file[] = "Output file must differ from the input, key and gamm files!\n";
inline constexpr char standard_output_file[] = "Output file must differ from standard output!\n";
inline constexpr char standard_input_positioned[] =
    "Standard input can't be read here: block decryption reads its input from the end!\n";
inline constexpr char standard_output_positioned[] =
    "Standard output can't be written here: block mode writes its output at positions!\n";

// The progress of a run.
inline constexpr char working[] = "Working...\n";
inline constexpr char block_set_to_file[] = "File sise < block sise. Size of block set to size of file.\n";
inline constexpr char done[] = "Done.\n";
inline constexpr char decrypted[] = "Done.Successfuly decrypted.\n";
inline constexpr char not_decrypted[] = "Done.Not decrypted.\n";

// Counts and key material.
inline constexpr char value_must_be_integer[] = "Value must be integer!\n";
inline constexpr char block_length_too_short[] = "Block length must be at least 5 bytes!\n";
inline constexpr char out_of_memory[] = "Out of memory!\n";
inline constexpr char key_file_empty[] = "Key file is empty!\n";
inline constexpr char gamm_file_empty[] = "Gamm file is empty!\n";
inline constexpr char key_too_short_for_block_mode[] = "Key file must be at least 5 bytes for block mode!\n";

// Settings that encryption refuses, as they would leave the data readable.
inline constexpr char no_mcyc_to_encrypt[] = "Number of mcyc must be at least 1 to encrypt!\n";
inline constexpr char gamm_too_short_to_encrypt[] = "Gamm file must be at least 5 bytes to encrypt!\n";
inline constexpr char key_too_short_to_encrypt[] = "Key file must be at least 5 bytes to encrypt!\n";
inline constexpr char gamma_of_no_effect[] =
    "Gamm file and gcyc give a gamma of no effect; choose others to encrypt!\n";
inline constexpr char one_mask_for_every_word[] =
    "Key file, gamm file and gcyc give one mask for every word; choose others to encrypt!\n";

// Reading and writing.
inline constexpr char damaged[] = "Ciphertext file is damaged!\n";
inline constexpr char error_reading[] = "Error reading input file!\n";
inline constexpr char error_writing[] = "Error writing output file!\n";
inline constexpr char error_reading_random[] = "Error reading random source!\n";

// On standard error, from the interrupt handler (which may print only these
// whole arrays) and from the removal of an unfinished file.
inline constexpr char interrupted[] = "kerrow: interrupted; ";
inline constexpr char crashed[] = "kerrow: crashed; ";
inline constexpr char unfinished_removed[] = "the unfinished output was removed\n";
inline constexpr char unfinished_kept[] = "the unfinished output could not be removed\n";
inline constexpr char output_incomplete[] = "the output written so far is incomplete\n";
inline constexpr char nothing_written[] = "nothing was written\n";
inline constexpr char already_delivered[] = "the output was already in place\n";
inline constexpr char unfinished_not_removed[] = "kerrow: the unfinished output could not be removed";

}  // namespace kerrow::message
