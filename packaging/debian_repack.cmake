# CPack post-build script: each .deb is unpacked and packed again with dpkg-deb, for what
# CPack cannot say itself:
# - the Multi-Arch field of the packages in CPACK_TARN_MULTIARCH_SAME;
# - no ldconfig in maintainer scripts: CPack writes a postinst and postrm that only call it,
#   while the library's ldconfig trigger already runs it once per dpkg run;
# - reproducible archives: every file dated SOURCE_DATE_EPOCH (when set), which dpkg-deb also
#   uses for the archive members, and files in dpkg-deb's fixed order.
find_program(DPKG_DEB dpkg-deb REQUIRED)
find_program(TOUCH touch REQUIRED)
find_program(FIND find REQUIRED)

# Fails on a maintainer script that does more than CPack's ldconfig call.
function(drop_ldconfig_script script)
    if(NOT EXISTS "${script}")
        return()
    endif()
    file(STRINGS "${script}" lines)
    string(CONCAT cpack_lines "^(#!/bin/sh|set -e|"
                  "if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then|[ \t]*ldconfig|fi|)$")
    list(FILTER lines EXCLUDE REGEX "${cpack_lines}")
    if(lines)
        message(FATAL_ERROR "${script} does more than call ldconfig: ${lines}")
    endif()
    file(REMOVE "${script}")
endfunction()

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    if(NOT deb MATCHES "\\.deb$")
        continue()
    endif()
    set(tree "${deb}.tree")
    file(REMOVE_RECURSE "${tree}")
    execute_process(COMMAND ${DPKG_DEB} -R "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
    file(READ "${tree}/DEBIAN/control" control)
    string(REGEX MATCH "Package: ([^\n]+)" _ "${control}")
    set(package "${CMAKE_MATCH_1}")

    if(package IN_LIST CPACK_TARN_MULTIARCH_SAME)
        string(REGEX REPLACE "(Architecture: [^\n]+\n)" "\\1Multi-Arch: same\n"
               control "${control}")
        file(WRITE "${tree}/DEBIAN/control" "${control}")
    endif()
    if(EXISTS "${tree}/DEBIAN/triggers")
        file(READ "${tree}/DEBIAN/triggers" triggers)
        if(triggers MATCHES "activate-noawait ldconfig")
            drop_ldconfig_script("${tree}/DEBIAN/postinst")
            drop_ldconfig_script("${tree}/DEBIAN/postrm")
        endif()
    endif()

    if(DEFINED ENV{SOURCE_DATE_EPOCH})
        execute_process(COMMAND ${FIND} "${tree}" -exec ${TOUCH} --no-dereference
                                "--date=@$ENV{SOURCE_DATE_EPOCH}" {} +
                        COMMAND_ERROR_IS_FATAL ANY)
    endif()
    execute_process(COMMAND ${DPKG_DEB} --root-owner-group -Zxz --build "${tree}" "${deb}"
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE "${tree}")
endforeach()
