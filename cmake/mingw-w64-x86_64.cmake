# Cross-builds kerrow.exe for 64-bit Windows with MinGW-w64 (Debian's
# g++-mingw-w64-x86-64-posix); `make windows` uses it:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#   cmake --build build-win --target kerrow
# The tests need GoogleTest built for Windows too, from its sources, and a
# way to run Windows programs: -DKERROW_GTEST_SOURCE=/usr/src/googletest
# -DCMAKE_CROSSCOMPILING_EMULATOR=wine64 (see `make test-windows`).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(kerrow_mingw_target x86_64-w64-mingw32)
# The posix flavour of the compilers: its C++ library has std::thread (C only
# for GoogleTest, built from its sources for the tests).
set(CMAKE_C_COMPILER ${kerrow_mingw_target}-gcc-posix)
set(CMAKE_CXX_COMPILER ${kerrow_mingw_target}-g++-posix)
set(CMAKE_RC_COMPILER ${kerrow_mingw_target}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${kerrow_mingw_target})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Linked statically (the C++ library, libgcc and the threads library): the
# .exe runs alone, with only the system's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
