# Linux on i686 (32-bit x86) with Debian's g++-i686-linux-gnu: see linux-cross.cmake.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(kerrow_cross_triple i686-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
