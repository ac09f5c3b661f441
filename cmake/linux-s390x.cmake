# Linux on s390x (big-endian 64-bit IBM Z) with Debian's g++-s390x-linux-gnu: see linux-cross.cmake.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(kerrow_cross_triple s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
