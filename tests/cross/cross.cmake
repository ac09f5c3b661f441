# kerrow built for another Linux machine (s390x, aarch64, i686), run under
# the emulator (qemu-user) and compared with a build of kerrow for the machine
# that runs the tests (`make build`): the known-answer vectors, and
# containers made by one and read by the other, the same bytes from both.
# On 32-bit targets also an input of 4 GiB + 3 bytes and a key file of
# 2^32 + 1 words (test cross_large).
set(KERROW_HOST_BIN "${PROJECT_SOURCE_DIR}/build/kerrow" CACHE FILEPATH
    "kerrow built for the machine that runs the tests, to compare the target's build with")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(kerrow_large_default "-s -b")
else()
  set(kerrow_large_default "")
endif()
set(KERROW_CROSS_LARGE "${kerrow_large_default}" CACHE STRING
    "Modes (-b, -s) of the 4 GiB + 3 byte round trip under the emulator; empty for none")
find_program(KERROW_BASH bash)
if(NOT KERROW_BASH)
  return()
endif()
set(kerrow_check ${KERROW_BASH} ${CMAKE_CURRENT_LIST_DIR}/check_target.sh)
set(kerrow_run ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:kerrow>)
add_test(NAME cross_check
  COMMAND ${kerrow_check} ${KERROW_HOST_BIN} ${CMAKE_CURRENT_SOURCE_DIR}/data
          ${CMAKE_CURRENT_BINARY_DIR}/cross-scratch ${kerrow_run})
set_tests_properties(cross_check PROPERTIES TIMEOUT 600)
if(KERROW_CROSS_LARGE)
  add_test(NAME cross_large
    COMMAND ${kerrow_check} --large "${KERROW_CROSS_LARGE}" ${KERROW_HOST_BIN}
            ${CMAKE_CURRENT_SOURCE_DIR}/data ${CMAKE_CURRENT_BINARY_DIR}/large-scratch ${kerrow_run})
  set_tests_properties(cross_large PROPERTIES TIMEOUT 1800 LABELS large SKIP_RETURN_CODE 77)
endif()
