// kerrow: encrypts or decrypts one file per run.
#include "cli/dispatch.hpp"

#ifdef _WIN32

#include <string>
#include <vector>

#include "common/utf16.hpp"

// Windows gives the command line in UTF-16; inside, it is held in UTF-8, which
// the file layer turns back into UTF-16 for the wide API, so that no
// character of a file name is lost to a code page.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args(static_cast<std::size_t>(argc));
    std::vector<const char*> pointers;
    for (std::size_t j = 0; j < args.size(); ++j) {
        if (!kerrow::to_utf8(argv[j], args[j])) return 1;
        pointers.push_back(args[j].c_str());
    }
    pointers.push_back(nullptr);
    return kerrow::run_process(argc, pointers.data());
}

#else

int main(int argc, char** argv) { return kerrow::run_process(argc, argv); }

#endif
