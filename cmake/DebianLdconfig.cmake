# Run by CPack on the built packages. CPack gives every package with a
# shared library under /usr/lib a postinst and a postrm that call ldconfig;
# Debian activates the ldconfig trigger instead (libzas1's triggers file,
# written by DebianExtras.cmake), so those two scripts are taken out again
# and the package rebuilt from its unpacked tree.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  set(scripts "")
  foreach(name IN ITEMS postinst postrm)
    if(EXISTS "${tree}/DEBIAN/${name}")
      file(READ "${tree}/DEBIAN/${name}" script)
      string(REGEX REPLACE "[ \t\n]+" " " script "${script}")
      if(NOT script MATCHES "^#!/bin/sh set -e if \\[ \"\\$1\" = \"[a-z]+\" \\]; then ldconfig fi ?$")
        message(FATAL_ERROR "${deb}: ${name} does more than call ldconfig: ${script}")
      endif()
      list(APPEND scripts "${tree}/DEBIAN/${name}")
    endif()
  endforeach()
  if(NOT scripts STREQUAL "")
    set(trigger "")
    if(EXISTS "${tree}/DEBIAN/triggers")
      file(STRINGS "${tree}/DEBIAN/triggers" trigger REGEX "^activate-noawait ldconfig$")
    endif()
    if(trigger STREQUAL "")
      message(FATAL_ERROR "${deb} calls ldconfig but activates no ldconfig trigger")
    endif()
    file(REMOVE ${scripts})
    execute_process(COMMAND dpkg-deb --root-owner-group -Z${CPACK_DEBIAN_COMPRESSION_TYPE} -b "${tree}" "${deb}"
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
