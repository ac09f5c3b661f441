# Installation of the binary, its manual page, shell completions, changelog and
# copyright file, and the Debian package that `make package` builds with
# CPack from the same rules; on Windows the archive that `make
# package-windows` builds.
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/packaging_windows.cmake)
  return()
endif()

include(GNUInstallDirs)

# The address the package names as its maintainer (and bug contact).
set(KERROW_MAINTAINER "kerrow developers <maintainers@kerrow.example.org>"
    CACHE STRING "Maintainer of the Debian package: name <address>")

install(TARGETS kerrow RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Each shell's completion where that shell looks for one under /usr:
# bash-completion under each folder of XDG_DATA_DIRS (by default /usr/local/share
# and /usr/share), zsh in vendor-completions, which Debian's fpath holds for
# packages, fish in vendor_completions.d under /usr/share (and each folder
# of XDG_DATA_DIRS, where that is set).
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/completion/kerrow.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME kerrow)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/completion/kerrow.zsh
        DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions RENAME _kerrow)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/completion/kerrow.fish
        DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The manual page and the changelog go out compressed, as Debian wants them:
# gzip -9n, so that the same sources give the same bytes (no name, no time).
# The changelog of a native package (no Debian revision in its version) is
# changelog.gz. Without gzip (a Windows build, say) both stay plain.
find_program(KERROW_GZIP gzip)
if(KERROW_GZIP)
  set(kerrow_packed ${CMAKE_CURRENT_BINARY_DIR}/packed)
  set(kerrow_packed_files)
  foreach(source man/kerrow.1 packaging/changelog)
    get_filename_component(name ${source} NAME)
    add_custom_command(OUTPUT ${kerrow_packed}/${name}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/${source} ${kerrow_packed}/${name}
      COMMAND ${KERROW_GZIP} -9nf ${kerrow_packed}/${name}
      DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${source}
      VERBATIM)
    list(APPEND kerrow_packed_files ${kerrow_packed}/${name}.gz)
  endforeach()
  add_custom_target(kerrow_packed_docs ALL DEPENDS ${kerrow_packed_files})
  install(FILES ${kerrow_packed}/kerrow.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${kerrow_packed}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
else()
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/man/kerrow.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kerrow)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the kerrow developers")
set(CPACK_PACKAGE_CONTACT "${KERROW_MAINTAINER}")
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
