// The file layer: opens that refuse what the tool can't use, reads that tell
// the end from an error, checked writes, same-file refusal, count conversion.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "common/counts.hpp"
#include "common/report.hpp"
#include "fileio/fileio.hpp"
#include "fileio/pipeline.hpp"
#include "support/test_support.hpp"

namespace kerrow {
namespace {

TEST(InputFile, RefusesWhatIsNotARegularFileWithoutBlocking) {
    test::scratch_dir dir;
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    input_file f;
    EXPECT_FALSE(f.open(dir.path().c_str()));          // a directory
    EXPECT_FALSE(f.open(dir.file("fifo").c_str()));    // a FIFO with no writer: must not hang
    EXPECT_FALSE(f.open("/dev/zero"));                 // a device
    EXPECT_FALSE(f.open(dir.file("missing").c_str()));
    test::write_file(dir.file("plain"), {1, 2, 3});
    EXPECT_TRUE(f.open(dir.file("plain").c_str()));
}

TEST(InputFile, LengthLeavesThePositionAndShortReadsMeanTheEnd) {
    test::scratch_dir dir;
    const auto content = test::pseudo_random(10, 4);
    test::write_file(dir.file("f"), content);
    input_file f;
    ASSERT_TRUE(f.open(dir.file("f").c_str()));
    unsigned char buf[16] = {};
    EXPECT_EQ(f.read(buf, 3), 3);
    EXPECT_EQ(file_length(f), 10);
    EXPECT_EQ(f.read(buf, 16), 7) << "continues where it was before the length was taken";
    EXPECT_EQ(buf[0], content[3]);
    EXPECT_EQ(f.read(buf, 16), 0);
    EXPECT_EQ(f.read_at(buf, 16, 8), 2);
    EXPECT_EQ(buf[1], content[9]);
}

TEST(OutputFile, EveryWritePathReportsAFullDisk) {
    testing::internal::CaptureStdout();
    {
        output_file f;
        ASSERT_TRUE(f.open("/dev/full"));
        ASSERT_TRUE(f.begin_result(true));
        EXPECT_FALSE(f.write("abcd", 4));
        EXPECT_FALSE(f.write_zeros(io_chunk_bytes + 1));
        EXPECT_FALSE(f.write_at("abcd", 4, 0));
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Error writing output file!\nError writing output file!\nError writing output file!\n");
}

// What the file held stays until the result is committed; the result is
// written in order, at positions, its length set through the open file, in
// a file of its own beside the output. A result that is not committed
// leaves nothing behind.
TEST(OutputFile, ReplacesTheOldContentOnlyOnCommit) {
    test::scratch_dir dir;
    const test::bytes old{'o', 'l', 'd', ' ', 'c', 'o', 'n', 't', 'e', 'n', 't', '!', '!', '!', '!', '!'};
    test::write_file(dir.file("o"), old);
    ::chmod(dir.file("o").c_str(), 0640);
    const auto names = [&dir] {
        std::vector<std::string> n;
        for (const auto& e : std::filesystem::directory_iterator(dir.path())) n.push_back(e.path().filename().string());
        return n;
    };
    {
        output_file dropped;
        ASSERT_TRUE(dropped.open(dir.file("o").c_str()));
        ASSERT_TRUE(dropped.begin_result(true));
        ASSERT_TRUE(dropped.write("new", 3));
        EXPECT_EQ(names().size(), 2u) << "the result is written beside the output";
    }
    EXPECT_EQ(names(), std::vector<std::string>{"o"});
    output_file f;
    ASSERT_TRUE(f.open(dir.file("o").c_str()));
    ASSERT_TRUE(f.begin_result(true));
    ASSERT_TRUE(f.write_zeros(8));
    ASSERT_TRUE(f.write("xyz", 3));
    ASSERT_TRUE(f.write_at("AB", 2, 1));
    ASSERT_TRUE(f.set_length(13));
    ASSERT_TRUE(f.set_length(9));
    EXPECT_EQ(test::read_file(dir.file("o")), old);
    ASSERT_TRUE(f.commit());
    EXPECT_EQ(test::read_file(dir.file("o")), (test::bytes{0, 'A', 'B', 0, 0, 0, 0, 0, 'x'}));
    EXPECT_EQ(names(), std::vector<std::string>{"o"});
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("o").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "a replaced output keeps its mode";

    // A name as long as a folder takes: the unfinished file's name is cut
    // to fit beside it.
    const std::string longest = dir.file(std::string(255, 'n'));
    output_file l;
    ASSERT_TRUE(l.open(longest.c_str()));
    ASSERT_TRUE(l.begin_result(false));
    ASSERT_TRUE(l.write("x", 1));
    ASSERT_TRUE(l.commit());
    EXPECT_EQ(test::read_file(longest), test::bytes{'x'});
}

// A new file only: a name that is taken (by a file, or by a link that leads
// nowhere) is refused at open; two results are delivered both or neither.
TEST(OutputFile, NewFilesOnlyAreMadeTogetherOrNotAtAll) {
    test::scratch_dir dir;
    test::write_file(dir.file("taken"), {1});
    ASSERT_EQ(::symlink("nowhere", dir.file("dangling").c_str()), 0);
    for (const char* name : {"taken", "dangling"}) {
        output_file f;
        EXPECT_FALSE(f.open(dir.file(name).c_str(), 0600, existing_output::refuse)) << name;
        EXPECT_EQ(f.error(), exists_error) << name;
    }
    const auto made = [&](output_file& f, const char* name) {
        return f.open(dir.file(name).c_str(), 0600, existing_output::refuse) && f.begin_result(false) &&
               f.write("ab", 2);
    };
    testing::internal::CaptureStdout();
    {
        output_file a, b;
        ASSERT_TRUE(made(a, "a") && made(b, "b"));
        fail_io_call(io_call::rename, 2);  // the second one's
        EXPECT_FALSE(commit_together(a, b));
        fail_io_call(io_call::rename, 0);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error writing output file!\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("a")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("b")));
    EXPECT_EQ(test::unfinished_files(dir.path()), 0);
    output_file a, b;
    ASSERT_TRUE(made(a, "a") && made(b, "b"));
    EXPECT_TRUE(commit_together(a, b));
    for (const char* name : {"a", "b"}) {
        struct stat st {};
        ASSERT_EQ(::stat(dir.file(name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
    }
}

// A device has no length to set; a FIFO takes a stream of bytes but no
// writes at positions, so a result that needs them is refused before
// anything reaches it.
TEST(OutputFile, DevicesHaveNoLengthAndFifosNoPositions) {
    output_file null;
    ASSERT_TRUE(null.open("/dev/null"));
    ASSERT_TRUE(null.begin_result(true));
    EXPECT_TRUE(null.write("abcd", 4));
    EXPECT_TRUE(null.set_length(100));
    EXPECT_TRUE(null.commit());

    test::scratch_dir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    output_file f;
    ASSERT_TRUE(f.open(fifo.c_str()));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(f.begin_result(true));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error writing output file!\n");
    EXPECT_TRUE(f.begin_result(false));
    EXPECT_TRUE(f.commit());
    char buf[4];
    EXPECT_EQ(::read(reader, buf, sizeof buf), 0) << "nothing reached the FIFO";
    ::close(reader);
}

// The cause line that a failure noted, printed (and so forgotten): the
// first one noted is the one given, so a test clears what earlier ones left.
std::string printed_cause() {
    testing::internal::CaptureStderr();
    print_cause();
    return testing::internal::GetCapturedStderr();
}

// Reads a file through a pipeline in the given order, flips every byte and
// writes each chunk back at its own offset: the output must be the input
// flipped, whatever the order and however many buffers are in flight.
test::bytes flip_through_pipeline(const std::string& in_path, const std::string& out_path,
                                  const std::vector<chunk_read>& reads) {
    input_file in;
    output_file out;
    EXPECT_TRUE(in.open(in_path.c_str()));
    EXPECT_TRUE(out.open(out_path.c_str()));
    EXPECT_TRUE(out.begin_result(true));
    chunk_pipeline pipe(in, out);
    EXPECT_TRUE(pipe.start(reads));
    for (const chunk_read& r : reads) {
        const pipeline_chunk c = pipe.next();
        if (c.kind != chunk_kind::data) return {};
        auto* p = static_cast<unsigned char*>(c.data);
        for (std::size_t j = 0; j < c.bytes; ++j) p[j] = static_cast<unsigned char>(~p[j]);
        EXPECT_TRUE(pipe.commit_at(c.bytes, r.offset));
    }
    EXPECT_EQ(pipe.next().kind, chunk_kind::end);
    EXPECT_TRUE(pipe.finish());
    EXPECT_TRUE(out.commit());
    return test::read_file(out_path);
}

TEST(ChunkPipeline, ChunksComeBackInTheOrderAskedAndLandAtTheirOffsets) {
    test::scratch_dir dir;
    const auto content = test::pseudo_random(10 * 1000 + 7, 21);
    test::write_file(dir.file("in"), content);
    test::bytes flipped = content;
    for (auto& c : flipped) c = static_cast<unsigned char>(~c);

    std::vector<chunk_read> forward;
    ASSERT_TRUE(chunks_in_order(static_cast<std::int64_t>(content.size()), 1000, forward));
    ASSERT_EQ(forward.size(), 11u);
    EXPECT_EQ(forward.back().offset, 10000);
    EXPECT_EQ(forward.back().bytes, 7u);
    EXPECT_EQ(flip_through_pipeline(dir.file("in"), dir.file("fwd"), forward), flipped);

    const std::vector<chunk_read> backward(forward.rbegin(), forward.rend());
    EXPECT_EQ(flip_through_pipeline(dir.file("in"), dir.file("back"), backward), flipped);
}

TEST(ChunkPipeline, ChunksTooLargeForThreeBuffersGoThroughTwo) {
    test::scratch_dir dir;
    const std::size_t chunk = std::size_t{4} << 20;
    const auto content = test::pseudo_random(2 * chunk + 5, 24);
    test::write_file(dir.file("in"), content);
    test::bytes flipped = content;
    for (auto& c : flipped) c = static_cast<unsigned char>(~c);
    std::vector<chunk_read> forward;
    ASSERT_TRUE(chunks_in_order(static_cast<std::int64_t>(content.size()), chunk, forward));
    const std::vector<chunk_read> backward(forward.rbegin(), forward.rend());
    EXPECT_EQ(flip_through_pipeline(dir.file("in"), dir.file("out"), backward), flipped);
}

// The chunks are cut from the input's length at the start: one that ends
// early means the input shrank under the run.
TEST(ChunkPipeline, AChunkThatEndsEarlyIsAFailedRead) {
    test::scratch_dir dir;
    test::write_file(dir.file("in"), test::pseudo_random(100, 22));
    input_file in;
    output_file out;
    ASSERT_TRUE(in.open(dir.file("in").c_str()));
    ASSERT_TRUE(out.open(dir.file("out").c_str()));
    ASSERT_TRUE(out.begin_result(true));
    chunk_pipeline pipe(in, out);
    const std::vector<chunk_read> reads{{0, 8}, {60, 64}};
    ASSERT_TRUE(pipe.start(reads));
    const pipeline_chunk c = pipe.next();
    ASSERT_EQ(c.kind, chunk_kind::data);
    EXPECT_EQ(c.bytes, 8u);
    ASSERT_TRUE(pipe.commit(0));
    printed_cause();
    testing::internal::CaptureStdout();
    EXPECT_EQ(pipe.next().kind, chunk_kind::failed);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error reading input file!\n");
    EXPECT_EQ(printed_cause().rfind("kerrow: " + dir.file("in") + ": ", 0), 0u);
}

TEST(ChunkPipeline, AFullDiskOrAFailedReadIsReportedOnceAndStopsTheRun) {
    test::scratch_dir dir;
    test::write_file(dir.file("in"), test::pseudo_random(64 * 1024, 23));
    // Two chunks take the short road, sixteen the helper.
    for (const std::int64_t length : {8 * 1024, 64 * 1024}) {
        printed_cause();
        testing::internal::CaptureStdout();
        {
            input_file in;
            output_file out;
            ASSERT_TRUE(in.open(dir.file("in").c_str()));
            ASSERT_TRUE(out.open("/dev/full"));
            chunk_pipeline pipe(in, out);
            std::vector<chunk_read> reads;
            ASSERT_TRUE(chunks_in_order(length, 4096, reads));
            ASSERT_TRUE(pipe.start(reads));
            // The full disk is found while later chunks are asked for;
            // whichever call comes next reports it, and none after it succeeds.
            bool failed = false;
            for (std::size_t k = 0; k < reads.size() && !failed; ++k) {
                const pipeline_chunk c = pipe.next();
                failed = c.kind != chunk_kind::data || !pipe.commit(c.bytes);
            }
            failed = pipe.next().kind != chunk_kind::end || failed;
            failed = !pipe.finish() || failed;
            EXPECT_TRUE(failed);
        }
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error writing output file!\n") << length << " bytes";
        EXPECT_EQ(printed_cause().rfind("kerrow: /dev/full: ", 0), 0u) << length << " bytes";
    }

    // Reading this process's memory at address 0 fails with an I/O error: in
    // place (one chunk) and on the helper (three).
    for (const std::size_t chunks : {1, 3}) {
        printed_cause();
        testing::internal::CaptureStdout();
        {
            input_file in;
            output_file out;
            ASSERT_TRUE(in.open("/proc/self/mem"));
            ASSERT_TRUE(out.open(dir.file("out").c_str()));
            ASSERT_TRUE(out.begin_result(true));
            chunk_pipeline pipe(in, out);
            const std::vector<chunk_read> reads(chunks, chunk_read{0, 4096});
            ASSERT_TRUE(pipe.start(reads));
            EXPECT_EQ(pipe.next().kind, chunk_kind::failed);
            EXPECT_EQ(pipe.next().kind, chunk_kind::failed);
            EXPECT_TRUE(pipe.finish());
        }
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error reading input file!\n") << chunks << " chunks";
        EXPECT_EQ(printed_cause().rfind("kerrow: /proc/self/mem: ", 0), 0u) << chunks << " chunks";
    }
}

#ifdef __linux__
// The chunks hold plaintext and, in stream mode, masks drawn from the key
// alone: their buffers lie in mappings left out of core dumps ("dd").
TEST(ChunkPipeline, BuffersAreLeftOutOfCoreDumps) {
#ifdef KERROW_EMULATOR
    GTEST_SKIP() << "the emulator keeps the mappings and their flags to itself";
#endif
    test::scratch_dir dir;
    test::write_file(dir.file("in"), test::pseudo_random(100, 25));
    input_file in;
    output_file out;
    ASSERT_TRUE(in.open(dir.file("in").c_str()));
    ASSERT_TRUE(out.open(dir.file("out").c_str()));
    chunk_pipeline pipe(in, out);
    const std::vector<chunk_read> reads{{0, 100}};
    ASSERT_TRUE(pipe.start(reads, 0, 16));
    const pipeline_chunk c = pipe.next();
    ASSERT_EQ(c.kind, chunk_kind::data);
    std::string flags;
    std::ifstream smaps("/proc/self/smaps");
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        unsigned long long from = 0, to = 0;
        if (std::sscanf(line.c_str(), "%llx-%llx ", &from, &to) == 2) {
            const auto at = reinterpret_cast<std::uintptr_t>(c.data);
            const auto side = reinterpret_cast<std::uintptr_t>(c.side);
            inside = from <= at && at < to && from <= side && side < to;
        } else if (inside && line.rfind("VmFlags:", 0) == 0) {
            flags = line + " ";
        }
    }
    EXPECT_NE(flags.find(" dd "), std::string::npos) << flags;
}
#endif

TEST(SameFile, CaughtThroughOtherSpellingsAndLinks) {
    test::scratch_dir dir;
    ::mkdir(dir.file("sub").c_str(), 0755);
    for (const char* n : {"in", "key", "gamm"}) test::write_file(dir.file(n), {1, 2, 3, 4, 5});
    ASSERT_EQ(::symlink(dir.file("key").c_str(), dir.file("key.lnk").c_str()), 0);
    ASSERT_EQ(::link(dir.file("gamm").c_str(), dir.file("gamm.hard").c_str()), 0);
    const std::string in = dir.file("in"), key = dir.file("key"), gamm = dir.file("gamm");
    const auto opens = [&](const std::string& out) {
        run_files files;
        return open_run_files(files, {in.c_str(), out.c_str(), key.c_str(), gamm.c_str()}, {false, false}, "in\n",
                              "out\n");
    };
    testing::internal::CaptureStdout();
    EXPECT_FALSE(opens(dir.file("sub/../in")));
    EXPECT_FALSE(opens(dir.file("key.lnk")));
    EXPECT_FALSE(opens(dir.file("gamm.hard")));
    EXPECT_TRUE(opens(dir.file("new")));
    EXPECT_TRUE(opens("/dev/null"));
    const std::string said = testing::internal::GetCapturedStdout();
    const std::string line = "Output file must differ from the input, key and gamm files!\n";
    EXPECT_EQ(said.substr(0, 3 * line.size()), line + line + line) << said;
    EXPECT_EQ(said.find(line, 3 * line.size()), std::string::npos) << "only the three refused";
    for (const char* n : {"in", "key", "gamm"}) EXPECT_EQ(test::read_file(dir.file(n)), (test::bytes{1, 2, 3, 4, 5}));
}

TEST(Counts, ConvertLikeAtoiAndRefuseZeroAndOutOfRange) {
    EXPECT_EQ(to_integer("42"), 42);
    EXPECT_EQ(to_integer("  \t-17xyz"), -17);
    EXPECT_EQ(to_integer("+8"), 8);
    EXPECT_EQ(to_integer("abc"), 0);
    EXPECT_EQ(to_integer(""), 0);
    EXPECT_EQ(to_integer("- 5"), 0);
    // Long digit strings saturate far outside the 32-bit range, never wrap
    // back into it: 2^64 + 1 must not come out as 1.
    for (std::size_t digits = 11; digits <= 40; ++digits) {
        const std::string nines(digits, '9');
        EXPECT_GT(to_integer(nines.c_str()), std::int64_t{INT32_MAX}) << digits;
        EXPECT_LT(to_integer(("-" + nines).c_str()), std::int64_t{INT32_MIN}) << digits;
    }
    EXPECT_GT(to_integer("18446744073709551617"), std::int64_t{INT32_MAX});

    std::int32_t v = 0;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(convert_count("2147483647", v));
    EXPECT_EQ(v, 2147483647);
    EXPECT_TRUE(convert_count("-2147483648", v));
    EXPECT_EQ(v, -2147483647 - 1);
    EXPECT_FALSE(convert_count("2147483648", v));
    EXPECT_FALSE(convert_count("-2147483649", v));
    EXPECT_FALSE(convert_count("0", v));
    EXPECT_FALSE(convert_count("x1", v));
    EXPECT_FALSE(convert_count("4294967297", v)) << "must not wrap to 1";
    const std::string line = "Value must be integer!\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), line + line + line + line + line);
}

}  // namespace
}  // namespace kerrow
