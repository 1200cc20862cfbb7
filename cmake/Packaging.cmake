# The Debian package, made by CPack from the installation (scripts/package
# runs it on a release build). Besides the program and its manual page the
# package holds what Debian asks of every package, added to the staged tree
# by DebianExtras.cmake: the manual page compressed, the copyright file and a
# changelog. The version is the project's.
if(WIN32)
  return()
endif()

set(ZAS_PACKAGE_MAINTAINER "The zas developers <zas@developers.invalid>"
    CACHE STRING "Maintainer field of the Debian package: name <address>")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zas)
set(CPACK_PACKAGE_VENDOR "The zas developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${ZAS_PACKAGE_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
# The synopsis is the project's description; this is the long one.
set(CPACK_PACKAGE_DESCRIPTION
    "zas packs the data files of the game Tarrow into one .zas archive, lists an
archive, and unpacks it again with the dates of its files and directories.
Files are stored as they are or as LZSS-compressed blocks; a move mode
deletes the sources once the archive is safely written. Archives are
interchangeable byte for byte with the Windows build.

Extraction treats every archive as untrusted: it writes only below the
destination and never leaves a partial file.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZAS_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/DebianExtras.cmake")
# Read by DebianExtras.cmake (CPack hands every CPACK_ variable on).
set(CPACK_ZAS_MANDIR "${CMAKE_INSTALL_MANDIR}")
set(CPACK_ZAS_DOCDIR "share/doc/zas")

include(CPack)
