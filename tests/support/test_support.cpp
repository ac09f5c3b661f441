#include "support/test_support.hpp"

#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "cli/dispatch.hpp"

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

bytes pseudo_random(std::size_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    bytes out(n);
    for (auto& b : out) b = static_cast<unsigned char>(gen() >> 24);
    return out;
}

bytes test_data(const std::string& relative) { return read_file(std::string(KERROW_TEST_DATA) + "/" + relative); }

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

int unfinished_files(const std::filesystem::path& dir) {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        n += e.path().filename().string().find(".kerrow-unfinished-") != std::string::npos ? 1 : 0;
    }
    return n;
}

}  // namespace kerrow::test
