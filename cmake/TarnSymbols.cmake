# libtarncrypt's ABI record: packaging/libtarncrypt1.symbols lists every exported symbol with
# the version that introduced it. The build compares the library against it (a symbol removed,
# changed or added without a line there fails the build), the package ships it, and
# dpkg-shlibdeps reads it, so that each package depends on the oldest library that has the
# symbols it uses.

set(TARN_SYMBOLS_FILE ${PROJECT_SOURCE_DIR}/packaging/libtarncrypt1.symbols)
set(tarn_lib_package libtarncrypt${PROJECT_VERSION_MAJOR})
set(TARN_DEBIAN_REVISION 1)
set(TARN_DEBIAN_VERSION ${PROJECT_VERSION}-${TARN_DEBIAN_REVISION})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TARN_SYMBOLS_FILE})

# The newest version named in the file: what a program using the whole interface (the -dev
# package, anything the shlibs file describes) needs.
file(STRINGS ${TARN_SYMBOLS_FILE} tarn_symbol_lines REGEX "^ ")
set(TARN_ABI_VERSION 0)
foreach(line IN LISTS tarn_symbol_lines)
    string(REGEX MATCH "[^ ]+$" introduced "${line}")
    if(introduced VERSION_GREATER TARN_ABI_VERSION)
        set(TARN_ABI_VERSION ${introduced})
    endif()
endforeach()

# The control files of the library package, and a package root that dpkg-shlibdeps takes for
# the library's package being built (it looks for DEBIAN/symbols above the library it finds).
set(TARN_CONTROL_ROOT ${CMAKE_BINARY_DIR}/libtarncrypt-control)
configure_file(${TARN_SYMBOLS_FILE} ${TARN_CONTROL_ROOT}/DEBIAN/symbols COPYONLY)
file(WRITE ${TARN_CONTROL_ROOT}/DEBIAN/shlibs
     "libtarncrypt ${PROJECT_VERSION_MAJOR} ${tarn_lib_package} (>= ${TARN_ABI_VERSION})\n")
get_target_property(tarn_library_dir tarncrypt BINARY_DIR)
file(MAKE_DIRECTORY ${TARN_CONTROL_ROOT}/lib)
file(CREATE_LINK ${tarn_library_dir}/libtarncrypt.so.${PROJECT_VERSION_MAJOR}
     ${TARN_CONTROL_ROOT}/lib/libtarncrypt.so.${PROJECT_VERSION_MAJOR} SYMBOLIC)

# Sanitizers and libFuzzer export their own symbols; the check belongs to plain builds.
find_program(TARN_DPKG_GENSYMBOLS dpkg-gensymbols)
if(TARN_DPKG_GENSYMBOLS AND NOT (TARN_SANITIZE OR TARN_SANITIZE_THREAD OR TARN_LIBFUZZER))
    # Checked against the package version (upstream-revision): a symbol of any released
    # version that has gone missing is reported, as in a Debian build.
    set(checked ${CMAKE_BINARY_DIR}/libtarncrypt1.symbols.checked)
    add_custom_command(OUTPUT ${checked}
        COMMAND ${TARN_DPKG_GENSYMBOLS} -c4 -p${tarn_lib_package}
                -v${TARN_DEBIAN_VERSION} -e$<TARGET_SONAME_FILE:tarncrypt>
                -I${TARN_SYMBOLS_FILE} -O${checked}.new
        COMMAND ${CMAKE_COMMAND} -E rename ${checked}.new ${checked}
        DEPENDS tarncrypt ${TARN_SYMBOLS_FILE}
        WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
        COMMENT "Comparing libtarncrypt's exports with packaging/libtarncrypt1.symbols"
        VERBATIM)
    add_custom_target(tarncrypt_symbols ALL DEPENDS ${checked})
endif()
