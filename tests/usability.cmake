# The manual page must render without a single warning. The progress-line
# tests live in progress_test.cpp, part of kerrow_tests.
find_program(KERROW_GROFF groff)
set(kerrow_man_page ${PROJECT_SOURCE_DIR}/man/kerrow.1)
if(KERROW_GROFF)
  # -ww turns on every warning and -z discards the output: any text at all
  # is a warning.
  add_test(NAME man_page_lint COMMAND ${KERROW_GROFF} -man -ww -z ${kerrow_man_page})
  set_tests_properties(man_page_lint PROPERTIES FAIL_REGULAR_EXPRESSION ".")
else()
  add_test(NAME man_page_lint
           COMMAND sh -c "echo 'groff not found: install groff-base to lint man/kerrow.1'; exit 1")
endif()
