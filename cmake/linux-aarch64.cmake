# Linux on aarch64 (64-bit ARM) with Debian's g++-aarch64-linux-gnu: see linux-cross.cmake.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(kerrow_cross_triple aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
