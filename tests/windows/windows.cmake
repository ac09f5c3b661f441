# kerrow.exe itself, through what differs on Windows: line ends, names,
# devices, the same-file refusal, interrupts, and containers that cross
# platforms. A cross build only: the .exe, run by the emulator (Wine), is
# compared with a build of kerrow for the machine that runs the tests
# (`make build`).
if(NOT CMAKE_CROSSCOMPILING)
  return()
endif()
set(KERROW_HOST_BIN "${PROJECT_SOURCE_DIR}/build/kerrow" CACHE FILEPATH
    "kerrow built for the machine that runs the tests, to compare kerrow.exe with")
find_program(KERROW_BASH bash)
if(KERROW_BASH)
  add_test(NAME windows_exe
    COMMAND ${KERROW_BASH} ${CMAKE_CURRENT_LIST_DIR}/check_exe.sh ${KERROW_HOST_BIN}
            ${CMAKE_CURRENT_SOURCE_DIR}/data ${CMAKE_CURRENT_BINARY_DIR}/exe-scratch
            ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:kerrow>)
  set_tests_properties(windows_exe PROPERTIES TIMEOUT 600)
endif()
