# Installation of the binary and its manual page, and the Debian package
# that `make package` builds with CPack from the same rules; on Windows the
# archive that `make package-windows` builds.
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/packaging_windows.cmake)
  return()
endif()

include(GNUInstallDirs)

install(TARGETS kerrow RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/man/kerrow.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kerrow)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the kerrow developers")
set(CPACK_PACKAGE_CONTACT "kerrow developers <kerrow@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "encrypt or decrypt a file with a key file and a gamm file")
set(CPACK_PACKAGE_DESCRIPTION
    "kerrow encrypts or decrypts one file per run with a symmetric cipher of its own
design, keyed by a key file and a gamm file. Block mode writes a container with
a key check; stream mode writes an output as long as its input. The cipher has
had no public cryptanalysis: see the manual page's security notes.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The binary's library dependencies come from dpkg-shlibdeps when it and
# file(1), which CPack needs with it, are there (dpkg-dev, file); otherwise
# a fixed list for the C++ runtime it links.
find_program(KERROW_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(KERROW_FILE_COMMAND file)
if(KERROW_DPKG_SHLIBDEPS AND KERROW_FILE_COMMAND)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1 (>= 3.0)")
endif()

include(CPack)
