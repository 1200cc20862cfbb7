# Run by CPack on the staged package tree before it builds the .deb: the
# manual pages compressed, /usr/share/doc/zas/copyright from the licence, and
# the changelog a native package carries, both as Debian wants them
# (gzip -9n: no name, no time stamp). The changelog's date is
# SOURCE_DATE_EPOCH when it is set, so equal sources give equal packages.
set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
if(NOT EXISTS "${root}/bin/zas")
  message(FATAL_ERROR "no staged program under ${root}")
endif()

function(gzip_file path)
  execute_process(COMMAND gzip -9nf "${path}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${path}: ${status}")
  endif()
endfunction()

file(GLOB pages "${root}/${CPACK_ZAS_MANDIR}/man*/*")
foreach(page IN LISTS pages)
  if(NOT page MATCHES "\\.gz$")
    gzip_file("${page}")
  endif()
endforeach()

set(doc "${root}/${CPACK_ZAS_DOCDIR}")
file(MAKE_DIRECTORY "${doc}")

# The licence in Debian's machine-readable copyright format (MIT is "Expat"
# there): the holders from the licence's copyright line, then its text from
# "Permission" on, every line indented by one blank, empty lines as " .".
file(STRINGS "${CPACK_RESOURCE_FILE_LICENSE}" licence)
set(holders "")
set(body "")
foreach(line IN LISTS licence)
  if(line MATCHES "^Copyright \\(c\\) (.+)$")
    set(holders "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^Permission")
    set(body " ${line}\n")
  elseif(body STREQUAL "")
  elseif(line STREQUAL "")
    string(APPEND body " .\n")
  else()
    string(APPEND body " ${line}\n")
  endif()
endforeach()
if(holders STREQUAL "" OR body STREQUAL "")
  message(FATAL_ERROR "${CPACK_RESOURCE_FILE_LICENSE}: no copyright line or licence text")
endif()
file(WRITE "${doc}/copyright"
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${CPACK_PACKAGE_NAME}
Upstream-Contact: ${CPACK_DEBIAN_PACKAGE_MAINTAINER}

Files: *
Copyright: ${holders}
License: Expat
${body}")

string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${doc}/changelog"
"${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * Release ${CPACK_PACKAGE_VERSION}.

 -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${date}
")
gzip_file("${doc}/changelog")

# Files 0644, directories 0755, whatever the umask of the build.
file(GLOB_RECURSE files LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(path IN LISTS files)
  if(IS_DIRECTORY "${path}")
    file(CHMOD "${path}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                     WORLD_READ WORLD_EXECUTE)
  elseif(NOT path STREQUAL "${root}/bin/zas")
    file(CHMOD "${path}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
endforeach()
