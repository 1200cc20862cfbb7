# Run by CPack on the staged trees, one per package, before it builds the
# .debs. Every package gets what Debian asks of it: manual pages compressed
# (a page that only sources another, ".so man3/zas_open.3", becomes a link
# to it, as dh_installman does), /usr/share/doc/PACKAGE/copyright from the
# licence and the changelog a native package carries, both as Debian wants
# them (gzip -9n: no name, no time stamp); programs and libraries without
# the .comment and .note sections, as dh_strip leaves them; files 0644 but
# programs, folders 0755. The changelog's date is SOURCE_DATE_EPOCH when it
# is set, so equal sources give equal packages.
#
# For the shared library's package it writes the control files that
# Packaging.cmake names: symbols, checked by dpkg-gensymbols against the
# record in cmake/ (a symbol that disappeared or appeared without an entry
# there stops the build), shlibs for the newest version in that record, and
# the trigger that runs ldconfig.

function(gzip_file path)
  execute_process(COMMAND gzip -9nf "${path}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${path}: ${status}")
  endif()
endfunction()

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
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)

function(compress_manual_pages root)
  file(GLOB pages "${root}/${CPACK_ZAS_MANDIR}/man*/*")
  foreach(page IN LISTS pages)
    if(page MATCHES "\\.gz$" OR IS_SYMLINK "${page}")
      continue()
    endif()
    # A page that is one ".so" request, comments aside.
    file(READ "${page}" text)
    string(REGEX REPLACE "(^|\n)\\.\\\\\"[^\n]*" "" text "${text}")
    string(STRIP "${text}" text)
    if(text MATCHES "^\\.so +(man[0-9a-z]+)/([^ \n]+)$")
      get_filename_component(dir "${page}" DIRECTORY)
      get_filename_component(section_dir "${dir}" NAME)
      set(target "${CMAKE_MATCH_2}.gz")
      if(NOT CMAKE_MATCH_1 STREQUAL section_dir)
        set(target "../${CMAKE_MATCH_1}/${target}")
      endif()
      file(REMOVE "${page}")
      file(CREATE_LINK "${target}" "${page}.gz" SYMBOLIC)
    else()
      gzip_file("${page}")
    endif()
  endforeach()
endfunction()

function(add_debian_docs root package)
  set(doc "${root}/share/doc/${package}")
  file(MAKE_DIRECTORY "${doc}")
  file(WRITE "${doc}/copyright"
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${CPACK_PACKAGE_NAME}
Upstream-Contact: ${CPACK_DEBIAN_PACKAGE_MAINTAINER}

Files: *
Copyright: ${holders}
License: Expat
${body}")
  file(WRITE "${doc}/changelog"
"${CPACK_DEBIAN_PACKAGE_SOURCE} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * Release ${CPACK_PACKAGE_VERSION}.

 -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${date}
")
  gzip_file("${doc}/changelog")
endfunction()

function(strip_sections root)
  file(GLOB_RECURSE paths "${root}/*")
  foreach(path IN LISTS paths)
    if(IS_SYMLINK "${path}")
      continue()
    endif()
    file(READ "${path}" magic LIMIT 8 HEX)
    if(magic MATCHES "^7f454c46")
      set(options --remove-section=.comment --remove-section=.note)
    elseif(magic STREQUAL "213c617263683e0a") # "!<arch>\n": a static library
      set(options --strip-debug --remove-section=.comment --remove-section=.note --enable-deterministic-archives)
    else()
      continue()
    endif()
    execute_process(COMMAND strip ${options} "${path}" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "strip ${path}: ${status}")
    endif()
  endforeach()
endfunction()

function(set_permissions tree root)
  file(GLOB_RECURSE paths LIST_DIRECTORIES true "${tree}/*")
  foreach(path IN LISTS paths)
    if(IS_SYMLINK "${path}")
      continue()
    elseif(IS_DIRECTORY "${path}" OR path MATCHES "^${root}/s?bin/")
      file(CHMOD "${path}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                       WORLD_READ WORLD_EXECUTE)
    else()
      file(CHMOD "${path}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    endif()
  endforeach()
endfunction()

function(write_library_control_files tree root)
  set(control "${CPACK_ZAS_CONTROL_DIR}")
  file(REMOVE_RECURSE "${control}")
  file(MAKE_DIRECTORY "${control}/DEBIAN" "${control}/${CPACK_ZAS_LIBDIR}")
  file(GLOB libraries "${root}/${CPACK_ZAS_LIBDIR}/lib*.so.[0-9]*")
  set(sonames "")
  foreach(library IN LISTS libraries)
    if(IS_SYMLINK "${library}")
      get_filename_component(name "${library}" NAME)
      list(APPEND sonames "${name}")
      # The file itself under its SONAME, for dpkg-shlibdeps.
      file(COPY_FILE "${library}" "${control}/${CPACK_ZAS_LIBDIR}/${name}")
    endif()
  endforeach()
  if(NOT sonames MATCHES "^libzas\\.so\\.[0-9]+$")
    message(FATAL_ERROR "expected one SONAME link libzas.so.N in ${root}/${CPACK_ZAS_LIBDIR}, found '${sonames}'")
  endif()
  string(REGEX REPLACE "^libzas\\.so\\." "" soversion "${sonames}")

  execute_process(COMMAND dpkg-gensymbols -q -c4 -p${CPACK_ZAS_RUNTIME_PACKAGE} -v${CPACK_PACKAGE_VERSION}
                          -P${tree} -I${CPACK_ZAS_SYMBOLS} -O${control}/DEBIAN/symbols
                  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "The library's symbols differ from ${CPACK_ZAS_SYMBOLS}: add what is new, with the "
                        "version it comes in (a symbol that disappeared breaks the ABI):\n${output}")
  endif()

  # shlibs: at least the newest version that added a symbol.
  file(STRINGS "${control}/DEBIAN/symbols" symbols REGEX "^ ")
  set(newest 0)
  foreach(line IN LISTS symbols)
    if(line MATCHES "^ [^ ]+ ([^ ]+)")
      if(CMAKE_MATCH_1 VERSION_GREATER newest)
        set(newest "${CMAKE_MATCH_1}")
      endif()
    endif()
  endforeach()
  file(WRITE "${control}/DEBIAN/shlibs" "libzas ${soversion} ${CPACK_ZAS_RUNTIME_PACKAGE} (>= ${newest})\n")
  file(WRITE "${control}/DEBIAN/triggers" "activate-noawait ldconfig\n")
endfunction()

foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER "${component}" upper)
  set(package "${CPACK_DEBIAN_${upper}_PACKAGE_NAME}")
  set(tree "${CPACK_TEMPORARY_DIRECTORY}/${component}")
  set(root "${tree}${CPACK_PACKAGING_INSTALL_PREFIX}")
  if(package STREQUAL "")
    message(FATAL_ERROR "component ${component} has no Debian package name (cmake/Packaging.cmake)")
  endif()
  if(NOT IS_DIRECTORY "${root}")
    message(FATAL_ERROR "no staged tree for ${component} under ${root}")
  endif()
  compress_manual_pages("${root}")
  strip_sections("${root}")
  add_debian_docs("${root}" "${package}")
  set_permissions("${tree}" "${root}")
  if(package STREQUAL CPACK_ZAS_RUNTIME_PACKAGE)
    write_library_control_files("${tree}" "${root}")
  endif()
endforeach()
