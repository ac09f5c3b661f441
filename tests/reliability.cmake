# Reliability checks beyond the unit tests: files over 4 GiB (label `large`,
# left out of `make test`, run by `make test-large`) and the libFuzzer targets.

# Files of 2^31 bytes and of 4 GiB + 3 bytes, both modes, through the binary.
add_test(NAME large_files
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/large_test.sh $<TARGET_FILE:kerrow>
          ${CMAKE_CURRENT_BINARY_DIR}/large-scratch)
set_tests_properties(large_files PROPERTIES LABELS large TIMEOUT 3600 SKIP_RETURN_CODE 77)

# The fuzz targets need clang with libFuzzer; tests/fuzz/run.sh configures a
# build of its own with this option on (the ordinary builds leave it off).
option(KERROW_FUZZ "Build the libFuzzer targets (clang only)" OFF)
if(KERROW_FUZZ)
  add_subdirectory(${CMAKE_CURRENT_SOURCE_DIR}/fuzz ${CMAKE_CURRENT_BINARY_DIR}/fuzz)
endif()
