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

# One version, CMake's project version: the banner and --version print it
# (KERROW_VERSION); the manual page's title line, every "kerrow X.Y.Z" the
# manual page and the README show, and the changelog's latest entry must
# name it too, so a release that raises it alone fails here.
add_test(NAME version_strings_agree
  COMMAND sh -c [=[
    v=$1 man=$2 readme=$3 changelog=$4
    grep -q "^\.TH KERROW 1 \"[^\"]*\" \"kerrow $v\"" "$man" ||
      { echo "$man: the .TH line does not name kerrow $v"; exit 1; }
    stale=$(grep -hoE 'kerrow [0-9]+\.[0-9]+(\.[0-9]+)*' "$man" "$readme" | grep -vxF "kerrow $v")
    [ -z "$stale" ] || { echo "$man or $readme names another version: $stale"; exit 1; }
    sed -n 1p "$changelog" | grep -qF "kerrow ($v) " ||
      { echo "$changelog: the latest entry is not for $v"; exit 1; }
  ]=] sh ${PROJECT_VERSION} ${kerrow_man_page} ${PROJECT_SOURCE_DIR}/README.md
      ${PROJECT_SOURCE_DIR}/packaging/changelog)

# Each shell's completion, installed into a scratch prefix and found there
# as that shell finds an installed one, completes the commands, the modes
# and the file names in a folder of known files. A shell that is missing
# fails its test with a line that says what to install.
foreach(shell bash bash-completion zsh fish)
  string(REPLACE "-" "_" name completion_${shell})
  add_test(NAME ${name}
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/completion_check.sh ${shell} ${PROJECT_BINARY_DIR} ${CMAKE_COMMAND})
  set_tests_properties(${name} PROPERTIES TIMEOUT 60)
endforeach()
