# Installation, in components that the Debian packages split along:
#   program  the zas program and its manual page, and zas-mount and its page
#            where it is built
#   runtime  the shared library (with its SONAME link)
#   dev      the header, the link-time name of the shared library, the static
#            library, zas.pc, the CMake package and the library's manual pages
include(CMakePackageConfigHelpers)

install(TARGETS zas RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
install(FILES doc/zas.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
if(TARGET zas-mount)
  install(TARGETS zas-mount RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
  install(FILES doc/zas-mount.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
endif()

install(TARGETS zas_shared EXPORT zasTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(TARGETS zas_static EXPORT zasTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES include/zas.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
# The API's pages: an overview (zas.3), one page per family of functions, and
# for every other function a page that sources its family's.
file(GLOB ZAS_LIBRARY_PAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/doc/*.3)
install(FILES ${ZAS_LIBRARY_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT dev)

# A C program that links the static library needs the C++ run-time as well:
# what the C++ compiler links beyond what the C compiler does. CMake adds it
# itself only to projects that enable C++; zasConfig.cmake and zas.pc name it.
set(ZAS_CXX_RUNTIME_LIBRARIES "")
foreach(library IN LISTS CMAKE_CXX_IMPLICIT_LINK_LIBRARIES)
  if(NOT library IN_LIST CMAKE_C_IMPLICIT_LINK_LIBRARIES AND NOT library IN_LIST ZAS_CXX_RUNTIME_LIBRARIES)
    list(APPEND ZAS_CXX_RUNTIME_LIBRARIES "${library}")
  endif()
endforeach()

set(ZAS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zas)
install(EXPORT zasTargets NAMESPACE zas:: DESTINATION ${ZAS_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/zasConfig.cmake.in ${PROJECT_BINARY_DIR}/zasConfig.cmake
                              INSTALL_DESTINATION ${ZAS_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zasConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zasConfig.cmake ${PROJECT_BINARY_DIR}/zasConfigVersion.cmake
        DESTINATION ${ZAS_CMAKE_DIR} COMPONENT dev)

# pkg-config: the prefix found from where the file lies, so that the files
# work under whatever prefix they are installed.
file(RELATIVE_PATH ZAS_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
list(TRANSFORM ZAS_CXX_RUNTIME_LIBRARIES PREPEND -l REGEX "^[^/]" OUTPUT_VARIABLE ZAS_PC_LIBS_PRIVATE)
list(JOIN ZAS_PC_LIBS_PRIVATE " " ZAS_PC_LIBS_PRIVATE)
configure_file(cmake/zas.pc.in ${PROJECT_BINARY_DIR}/zas.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zas.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
