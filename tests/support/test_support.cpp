#include "support/test_support.hpp"

#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "cli/dispatch.hpp"
#include "common/run.hpp"

namespace kerrow::test {

scratch_dir::scratch_dir() {
    // Making a folder fails when the name is taken, so parallel runs never
    // share one.
    static std::mt19937_64 names{std::random_device{}()};
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int tries = 0; tries < 100; ++tries) {
        path_ = base / ("kerrow-test-" + std::to_string(names()));
        if (std::filesystem::create_directory(path_)) return;
    }
    throw std::runtime_error("can't make a scratch folder");
}

scratch_dir::~scratch_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void write_file(const std::string& path, const bytes& content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    if (!f) throw std::runtime_error("can't write " + path);
}

bytes read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("can't read " + path);
    return bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}


bytes test_data(const std::string& relative) { return read_file(std::string(KERROW_TEST_DATA) + "/" + relative); }

bool has_line(const std::string& out, const std::string& line) {
    return ("\n" + out).find("\n" + line + "\n") != std::string::npos;
}

bool is_time_line(const std::string& line) {
    const std::string head = "Time:\t", tail = " seconds\n";
    if (line.size() < head.size() + 10 + tail.size() || line.compare(0, head.size(), head) != 0 ||
        line.compare(line.size() - tail.size(), tail.size(), tail) != 0) {
        return false;
    }
    const std::string number = line.substr(head.size(), line.size() - head.size() - tail.size());
    return number.find_first_not_of(" 0123456789.e+-") == std::string::npos && number.back() != ' ';
}

std::string usage() { return kerrow::usage_text; }

in_process_run run_in_process(const std::vector<std::string>& args) {
    if (args.size() < 7) throw std::runtime_error("a run takes 7 arguments at least");
    const bool block = args[1] == "-b";
    const run_request request{args[0] == "e" ? direction::encrypt : direction::decrypt,
                              block ? cipher_mode::block : cipher_mode::stream,
                              args[2].c_str(),
                              args[3].c_str(),
                              args[4].c_str(),
                              args[5].c_str(),
                              args[6].c_str(),
                              block ? args.at(7).c_str() : nullptr,
                              block ? args.at(8).c_str() : nullptr};
    testing::internal::CaptureStdout();
    const run_end end = run(request);
    in_process_run r;
    r.out = testing::internal::GetCapturedStdout();
    r.done = end == run_end::done;
    r.not_decrypted = end == run_end::not_decrypted;
    return r;
}

std::string start_lines(const std::string& in, std::size_t length, const std::string& out) {
    return "In file:\t" + in + "   " + std::to_string(length) + " bytes\nOut file:\t" + out + "\nWorking...\n";
}

std::string from_in_file(const std::string& out) {
    const auto at = out.find("In file:");
    return at == std::string::npos ? out : out.substr(at);
}

std::string vector_case::file(const std::string& which) const {
    return std::string(KERROW_TEST_DATA) + "/" + name + "/" + which;
}

std::vector<std::string> vector_case::counts() const {
    if (mode == "-s") return {gcyc};
    return {gcyc, mcyc, block_length};
}

std::vector<vector_case> vector_cases() {
    std::ifstream table(std::string(KERROW_TEST_DATA) + "/cases.tsv");
    std::vector<vector_case> cases;
    std::string line;
    std::getline(table, line);  // the column names
    while (std::getline(table, line)) {
        std::istringstream row(line);
        vector_case c;
        std::string encrypts;
        if (row >> c.name >> c.mode >> c.gcyc >> c.mcyc >> c.block_length >> encrypts) {
            c.encrypts = encrypts == "yes";
            cases.push_back(c);
        }
    }
    if (cases.size() < 15) throw std::runtime_error("tests/data/cases.tsv: fewer vectors than it holds");
    return cases;
}

std::string unfinished_beside(const std::string& out) {
    const std::filesystem::path p(out);
    for (const auto& e : std::filesystem::directory_iterator(p.has_parent_path() ? p.parent_path() : ".")) {
        if (e.path().string().starts_with(out + ".kerrow-unfinished-")) return e.path().string();
    }
    return {};
}

int unfinished_files(const std::filesystem::path& dir) {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        n += e.path().filename().string().find(".kerrow-unfinished-") != std::string::npos ? 1 : 0;
    }
    return n;
}

}  // namespace kerrow::test
