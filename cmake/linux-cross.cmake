# Cross-builds for another Linux machine with Debian's cross compilers
# (g++-<triple>); included by cmake/linux-<processor>.cmake, which sets
# kerrow_cross_triple and CMAKE_SYSTEM_PROCESSOR first:
#   cmake -S . -B build-cross-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/linux-s390x.cmake
# The tests need GoogleTest built for the target from its sources and a way
# to run the target's programs: -DKERROW_GTEST_SOURCE=/usr/src/googletest
# -DCMAKE_CROSSCOMPILING_EMULATOR=qemu-s390x (see `make test-cross`).
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${kerrow_cross_triple}-gcc)
set(CMAKE_CXX_COMPILER ${kerrow_cross_triple}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${kerrow_cross_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Linked statically, so that qemu-user needs no libraries of the target's
# and runs no dynamic loader: under qemu-i386 (7.2) a dynamically linked
# program hangs in pthread_create.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
