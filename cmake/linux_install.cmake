# Installation of the Linux programs, and their packages.
#
# `cmake --install build/linux --prefix P` lays out P/bin, P/share/man/man1
# and P/share/doc/hvrtools; CPack packs the same files as
# hvrtools-<version>-linux-<arch>.tar.gz and hvrtools_<version>_<arch>.deb.
# Only the programs and their documents are installed: benchmarks, tests
# and fuzzers have no install rule.
include(GNUInstallDirs)

# Installing and packing take the files as they are: scripts/package builds
# only the programs and their documents, not the tests and benchmarks that
# `all` holds, and CPack would otherwise build all of them first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# Both come with every Debian system that has man-db (groff-base, gzip).
find_program(HVR_PRECONV preconv REQUIRED)
find_program(HVR_GZIP gzip REQUIRED)

# The manual pages are written by hand in UTF-8 under man/. The installed
# ones carry the Japanese as groff escapes (preconv -r), which every groff
# reads whatever the reader's locale, and are compressed as Debian wants:
# gzip -9n, best compression and no name or time stamp, so the bytes repeat.
set(hvr_doc_files)
foreach(program hvrupdate hvrconv hvrgen hvrdump hvrdiff)
  set(configured ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1.utf8)
  set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1)
  configure_file(man/${program}.1.in ${configured} @ONLY)
  add_custom_command(OUTPUT ${page} ${page}.gz
    COMMAND sh -c "\"$0\" -r -e UTF-8 \"$1\" >\"$2\" && \"$3\" -9n -c \"$2\" >\"$2.gz\""
            ${HVR_PRECONV} ${configured} ${page} ${HVR_GZIP}
    DEPENDS ${configured}
    COMMENT "Manual page ${program}(1)"
    VERBATIM)
  list(APPEND hvr_doc_files ${page}.gz)
endforeach()
set(hvr_debian_changelog ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz)
add_custom_command(OUTPUT ${hvr_debian_changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/debian
  COMMAND sh -c "\"$0\" -9n -c \"$1\" >\"$2\"" ${HVR_GZIP}
          ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/changelog ${hvr_debian_changelog}
  DEPENDS packaging/debian/changelog
  VERBATIM)
list(APPEND hvr_doc_files ${hvr_debian_changelog})
add_custom_target(hvr_docs ALL DEPENDS ${hvr_doc_files})

# Components, so that each package takes what its format expects: a plain
# install and the tarball carry LICENSE, the Debian package the copyright
# file and the changelog in its stead, as lintian wants them.
install(TARGETS hvrupdate hvrconv hvrgen hvrdump hvrdiff
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/man/hvrupdate.1.gz ${CMAKE_CURRENT_BINARY_DIR}/man/hvrconv.1.gz
    ${CMAKE_CURRENT_BINARY_DIR}/man/hvrgen.1.gz ${CMAKE_CURRENT_BINARY_DIR}/man/hvrdump.1.gz
    ${CMAKE_CURRENT_BINARY_DIR}/man/hvrdiff.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT manuals)
install(FILES README.md docs/RELIABILITY.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT documents)
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT licence)
install(FILES packaging/debian/copyright ${hvr_debian_changelog}
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)

# --- packages ------------------------------------------------------------------
set(CPACK_PACKAGE_NAME hvrtools)
set(CPACK_PACKAGE_VENDOR "the hvrtools authors")
set(CPACK_PACKAGE_CONTACT "hvrtools authors <hvrtools@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "patch and convert data.hvr archives safely")
set(CPACK_PACKAGE_DESCRIPTION
  "hvrupdate applies the patch archive update.hvp to the archive data.hvr in the\n\
current directory: every entry whose name matches a file in the patch takes\n\
over the patch's bytes. hvrconv switches data.hvr between its two table\n\
layouts (0x01xx and 0x02xx). Whatever stops a run, the next run of either\n\
leaves data.hvr as it was before or as it was meant to become.\n\
.\n\
hvrgen writes sample archives and patches; hvrdump lists an archive and\n\
checks whether it is sound; hvrdiff makes the patch between two versions of\n\
an archive.")
set(CPACK_GENERATOR TGZ DEB)
string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" hvr_arch)
set(CPACK_PACKAGE_FILE_NAME "hvrtools-${PROJECT_VERSION}-linux-${hvr_arch}")
set(CPACK_STRIP_FILES ON)
# The tarball is a plain install under one top directory; the Debian package
# is one package made of the components that cmake/cpack_generators.cmake
# lists for it.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_SOURCE_DIR}/cmake/cpack_generators.cmake)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps names the libraries the programs link (libc, libstdc++,
# libgcc, zlib) with the versions this build needs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# lintian 2.116 (Debian 12) finds no error or warning. At the level of
# information it notes binary-has-unneeded-section .comment for each
# program: CPack strips with plain strip, which keeps the compilers' version
# notes that Debian's own dh_strip removes: one line of 39 bytes
# a program, and nothing else.
include(CPack)
