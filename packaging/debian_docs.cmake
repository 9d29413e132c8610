# CPack pre-build script: what Debian expects of every binary package beyond the install
# itself, added to each component's staging tree: usr/share/doc/<package>/copyright and
# changelog.Debian.gz, man pages compressed with gzip -9n, and ELF files stripped as dh_strip does.
# The changelog's date is SOURCE_DATE_EPOCH when set (string(TIMESTAMP) reads it), so two
# builds of one commit give the same packages.
find_program(GZIP gzip REQUIRED)

function(gzip_reproducibly file)
    execute_process(COMMAND ${GZIP} -9nf "${file}" COMMAND_ERROR_IS_FATAL ANY)
endfunction()

# Debug information, the compiler's .comment and .note sections; shared objects also lose
# the symbols nothing links against.
function(strip_elf_files stage)
    file(GLOB_RECURSE files LIST_DIRECTORIES false "${stage}/*")
    foreach(file IN LISTS files)
        if(IS_SYMLINK "${file}")
            continue()
        endif()
        file(READ "${file}" magic LIMIT 4 HEX)
        if(NOT magic STREQUAL "7f454c46")
            continue()
        endif()
        set(options --remove-section=.comment --remove-section=.note)
        if(file MATCHES "\\.so(\\.[0-9]+)*$")
            list(APPEND options --strip-unneeded)
        endif()
        execute_process(COMMAND ${CPACK_TARN_STRIP} ${options} "${file}" COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
endfunction()

foreach(entry IN LISTS CPACK_TARN_PACKAGES)
    string(REPLACE "=" ";" pair "${entry}")
    list(GET pair 0 component)
    list(GET pair 1 package)
    set(stage "${CPACK_TEMPORARY_DIRECTORY}/${component}${CPACK_PACKAGING_INSTALL_PREFIX}")
    if(NOT IS_DIRECTORY "${stage}")
        continue()
    endif()
    set(doc "${stage}/share/doc/${package}")
    file(MAKE_DIRECTORY "${doc}")
    configure_file("${CPACK_TARN_SOURCE_DIR}/packaging/copyright" "${doc}/copyright" COPYONLY)
    string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
    # A package version with a Debian revision keeps its Debian changelog under this name.
    file(WRITE "${doc}/changelog.Debian"
"${package} (${CPACK_TARN_DEBIAN_VERSION}) unstable; urgency=medium

  * Release ${CPACK_PACKAGE_VERSION} of tarncrypt.

 -- ${CPACK_PACKAGE_CONTACT}  ${date}
")
    gzip_reproducibly("${doc}/changelog.Debian")
    file(GLOB_RECURSE pages "${stage}/share/man/*.[1-9]")
    foreach(page IN LISTS pages)
        gzip_reproducibly("${page}")
    endforeach()
    strip_elf_files("${stage}")
endforeach()
