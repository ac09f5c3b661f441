// kerrow: encrypts or decrypts one file per run.
#include "cli/dispatch.hpp"

int main(int argc, char** argv) { return kerrow::run_process(argc, argv); }
