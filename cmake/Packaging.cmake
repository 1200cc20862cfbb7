# The Debian packages, made by CPack from the installation (scripts/package
# runs it on a release build), one package per install component, split the
# way Debian splits a library:
#   zas              the program component: zas and every other program, with
#                    their manual pages
#   libzas1          the runtime component: the shared library and its SONAME
#                    link
#   libzas-dev       the dev component: header, link-time name, static
#                    library, zas.pc, the CMake package, section 3 pages
#   python3-zasfile  the python component, when there is one
# A component without install rules makes no package. DebianExtras.cmake adds
# what Debian asks of every package to the staged trees (compressed manual
# pages, copyright, changelog) and writes libzas1's control files: symbols
# (from libzas1.symbols), shlibs and the ldconfig trigger. The version is the
# project's.
if(WIN32)
  return()
endif()

set(ZAS_PACKAGE_MAINTAINER "The zas developers <zas@developers.invalid>"
    CACHE STRING "Maintainer field of the Debian packages: name <address>")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zas)
set(CPACK_PACKAGE_VENDOR "The zas developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${ZAS_PACKAGE_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
# Each package's description below begins with its own synopsis; a summary
# here would be put in front of every one of them.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZAS_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SOURCE zas)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(ZAS_RUNTIME_PACKAGE libzas${PROJECT_VERSION_MAJOR})
set(ZAS_FORMAT_TEXT
"The .zas format holds the data files of the game Tarrow: a header, a file
and a directory table, then every file stored as it is or as one
LZSS-compressed block. Archives are interchangeable byte for byte between
the Linux and the Windows build.")

set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME zas)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PROGRAM_DESCRIPTION
"archiver for the data files of the game Tarrow
zas packs the data files of the game Tarrow into one .zas archive, lists an
archive, and unpacks it again with the dates of its files and directories.
Files are stored as they are or as LZSS-compressed blocks; a move mode
deletes the sources once the archive is safely written. Archives are
interchangeable byte for byte with the Windows build.

Extraction treats every archive as untrusted: it writes only below the
destination and never leaves a partial file.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${ZAS_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
"library to read and write .zas archives
${ZAS_FORMAT_TEXT}

libzas reads, extracts and writes such archives through a C API: streams
over entries of any size in fixed memory, extraction that writes only below
its destination, and writing with compression on several threads.

This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzas-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${ZAS_RUNTIME_PACKAGE} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION
"library to read and write .zas archives (development files)
${ZAS_FORMAT_TEXT}

This package holds what programs that use libzas are built with: the header
zas.h, the static library, the pkg-config file, the CMake package (targets
zas::zas and zas::zas_static) and the manual pages of the API.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-zasfile)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any, ${ZAS_RUNTIME_PACKAGE} (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
"Python module to read and write .zas archives
${ZAS_FORMAT_TEXT}

This package holds the Python 3 module zasfile, which uses libzas.")

# libzas1's control files, written by DebianExtras.cmake. dpkg-shlibdeps
# finds the library (a copy beside them) through the private directory and
# the symbols file through the DEBIAN folder above it, which is how the zas
# package comes to depend on libzas1.
set(CPACK_ZAS_CONTROL_DIR "${PROJECT_BINARY_DIR}/debian/${ZAS_RUNTIME_PACKAGE}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CPACK_ZAS_CONTROL_DIR}/${CMAKE_INSTALL_LIBDIR}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    "${CPACK_ZAS_CONTROL_DIR}/DEBIAN/shlibs;${CPACK_ZAS_CONTROL_DIR}/DEBIAN/symbols;${CPACK_ZAS_CONTROL_DIR}/DEBIAN/triggers")

set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/DebianExtras.cmake")
set(CPACK_POST_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/DebianLdconfig.cmake")
# Read by the two scripts (CPack hands every CPACK_ variable on).
set(CPACK_ZAS_MANDIR "${CMAKE_INSTALL_MANDIR}")
set(CPACK_ZAS_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
set(CPACK_ZAS_SYMBOLS "${PROJECT_SOURCE_DIR}/cmake/${ZAS_RUNTIME_PACKAGE}.symbols")
set(CPACK_ZAS_RUNTIME_PACKAGE "${ZAS_RUNTIME_PACKAGE}")

include(CPack)
