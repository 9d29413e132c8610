# CPack pre-build script: what Debian expects of every binary package beyond the install
# itself, added to each component's staging tree: usr/share/doc/<package>/copyright and
# changelog.gz, and man pages compressed with gzip -9n.
find_program(GZIP gzip REQUIRED)

function(gzip_reproducibly file)
    execute_process(COMMAND ${GZIP} -9nf "${file}" COMMAND_ERROR_IS_FATAL ANY)
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
    file(WRITE "${doc}/changelog"
"${package} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * Release ${CPACK_PACKAGE_VERSION} of tarncrypt.

 -- ${CPACK_PACKAGE_CONTACT}  ${date}
")
    gzip_reproducibly("${doc}/changelog")
    file(GLOB_RECURSE pages "${stage}/share/man/*.[1-9]")
    foreach(page IN LISTS pages)
        gzip_reproducibly("${page}")
    endforeach()
endforeach()
