# Building PostgreSQL extension modules in C++ against the server that pg_config names.

find_program(PG_CONFIG NAMES pg_config REQUIRED
             HINTS /usr/lib/postgresql/15/bin
             DOC "pg_config of the server the extensions are built for")

function(tarn_pg_config out flag)
    execute_process(COMMAND ${PG_CONFIG} ${flag} OUTPUT_VARIABLE value
                    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    set(${out} "${value}" PARENT_SCOPE)
endfunction()

tarn_pg_config(PG_INCLUDE_SERVER --includedir-server)
tarn_pg_config(PG_PKGLIBDIR --pkglibdir)
tarn_pg_config(PG_SHAREDIR --sharedir)
tarn_pg_config(PG_BINDIR --bindir)
tarn_pg_config(PG_VERSION_STRING --version)
string(REGEX MATCH "[0-9]+" PG_MAJOR "${PG_VERSION_STRING}")
message(STATUS "PostgreSQL extensions for ${PG_VERSION_STRING} (${PG_INCLUDE_SERVER})")

# patchelf gives an installed module the RUNPATH of a libdir chosen only at install time.
find_program(TARN_PATCHELF patchelf DOC "patchelf, for modules installed under a private prefix")

# tarn_add_pg_module(<name> SOURCES ...)
# Builds <name>.so, a module the server can load, without installing it.
function(tarn_add_pg_module name)
    cmake_parse_arguments(ARG "" "" "SOURCES" ${ARGN})
    add_library(${name} MODULE ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES PREFIX "" CXX_VISIBILITY_PRESET default)
    target_include_directories(${name} SYSTEM PRIVATE ${PG_INCLUDE_SERVER})
    # The server's headers are C; these warnings come from them, not from our code.
    target_compile_options(${name} PRIVATE -Wno-missing-field-initializers -Wno-register
                           -Wno-sign-compare -Wno-unused-parameter)
endfunction()

# tarn_add_pg_extension(<name> SOURCES ... [LIBS ...] [DATA files...])
# Builds <name>.so and installs it with its control and SQL files where the server looks
# for them, so that CREATE EXTENSION <name> works in any cluster of that server. The install
# component is <name>: one package per extension.
function(tarn_add_pg_extension name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;DATA" ${ARGN})
    tarn_add_pg_module(${name} SOURCES ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
    install(TARGETS ${name} LIBRARY DESTINATION ${PG_PKGLIBDIR} COMPONENT ${name})
    install(FILES ${ARG_DATA} DESTINATION ${PG_SHAREDIR}/extension COMPONENT ${name})
    # The module lives in the server's folder, not under our prefix, so no path relative to it
    # reaches libtarncrypt.
    if(tarncrypt IN_LIST ARG_LIBS)
        tarn_install_runpath(${name} "${PG_PKGLIBDIR}/$<TARGET_FILE_NAME:${name}>")
    endif()
endfunction()

# tarn_pg_full_script(<out> <base script> <update scripts...>)
# Writes the install script of the newest version as the base script followed by its updates,
# so that installing that version directly and updating to it can never drift apart. The
# server blanks every "\echo" line of an extension script, the updates' included.
function(tarn_pg_full_script out base)
    get_filename_component(name ${out} NAME)
    set(text "/* ${name}: the install script of the base version and its updates, in order */\n")
    foreach(script ${base} ${ARGN})
        file(READ ${script} part)
        string(APPEND text "\n${part}")
    endforeach()
    file(WRITE ${out} "${text}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${base} ${ARGN})
endfunction()
