# kerrow-<version>-win64.zip: a folder holding kerrow.exe, README.md and the
# manual page rendered to text (kerrow.txt), both with CR LF line ends.
# `make package-windows` builds kerrow and kerrow_texts, then runs cpack.
set(kerrow_texts ${CMAKE_CURRENT_BINARY_DIR}/package-texts)
find_program(KERROW_GROFF groff)
if(NOT KERROW_GROFF)
  message(WARNING "groff not found: the Windows archive needs it for the manual page")
endif()
add_custom_command(
  OUTPUT ${kerrow_texts}/README.md ${kerrow_texts}/kerrow.txt
  COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/README.md -DOUT=${kerrow_texts}/README.md
          -P ${CMAKE_CURRENT_LIST_DIR}/windows_text.cmake
  COMMAND ${CMAKE_COMMAND} -DGROFF=${KERROW_GROFF} -DIN=${PROJECT_SOURCE_DIR}/man/kerrow.1
          -DOUT=${kerrow_texts}/kerrow.txt -P ${CMAKE_CURRENT_LIST_DIR}/windows_text.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/man/kerrow.1
          ${CMAKE_CURRENT_LIST_DIR}/windows_text.cmake)
add_custom_target(kerrow_texts DEPENDS ${kerrow_texts}/README.md ${kerrow_texts}/kerrow.txt)

install(TARGETS kerrow RUNTIME DESTINATION .)
install(FILES ${kerrow_texts}/README.md ${kerrow_texts}/kerrow.txt DESTINATION .)
# Packing needs only these, not the tests.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME kerrow)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME win64)
set(CPACK_PACKAGE_VENDOR "the kerrow developers")
set(CPACK_STRIP_FILES ON)
include(CPack)
