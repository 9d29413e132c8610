# Debian packages, one per install component, built with `cpack -G DEB` in a tree configured
# for the system prefix (packaging/build_debs.sh does both). The version is the project's with
# a Debian revision; dependencies on libtarncrypt come from its symbols file (TarnSymbols).

set(CPACK_PACKAGE_NAME tarncrypt)
set(CPACK_PACKAGE_VENDOR "tarncrypt")
set(CPACK_PACKAGE_CONTACT "tarncrypt maintainers <tarncrypt@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TARN_DEBIAN_REVISION})
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds libtarncrypt in a package root of the build tree whose DEBIAN/symbols
# is the library's own, as for a library package built alongside.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${TARN_CONTROL_ROOT}/lib)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/tarncrypt")
# Debian's documentation files, compressed man pages and stripping go into the staged packages
# only: a plain `cmake --install` stays free of them. Afterwards the packages get what CPack
# cannot give them (see packaging/debian_repack.cmake).
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/debian_docs.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/debian_repack.cmake)
set(CPACK_TARN_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_TARN_DEBIAN_VERSION ${TARN_DEBIAN_VERSION})
find_program(TARN_STRIP NAMES ${CMAKE_STRIP} strip REQUIRED)
set(CPACK_TARN_STRIP ${TARN_STRIP})


# tarn_deb_component(<component> <package> <section> <summary> <description> [depends])
# The description's lines stay within Debian's 80 columns.
macro(tarn_deb_component component package section summary description)
    string(TOUPPER ${component} upper)
    set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
    set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${section})
    set(CPACK_COMPONENT_${upper}_DESCRIPTION "${summary}\n${description}")
    set(CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS "${ARGN}")
    list(APPEND CPACK_COMPONENTS_ALL ${component})
    list(APPEND CPACK_TARN_PACKAGES "${component}=${package}")
endmacro()

set(CPACK_COMPONENTS_ALL)
tarn_deb_component(library ${tarn_lib_package} libs
    "credential-protection library"
    "libtarncrypt turns short secrets into printable AES or legacy texts and back:\nthe AES-128-CBC text transform with salt-derived IVs, its Base64 codec, the\nlegacy text cipher, port mangling and user/host splitting.")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA
    ${TARN_CONTROL_ROOT}/DEBIAN/symbols ${TARN_CONTROL_ROOT}/DEBIAN/shlibs
    ${PROJECT_SOURCE_DIR}/packaging/triggers)
# The header declares the whole interface: the -dev package needs the newest library symbol.
tarn_deb_component(dev libtarncrypt-dev libdevel
    "credential-protection library - development files"
    "The header encDec.h, the pkg-config file tarncrypt.pc and the CMake package\ntarncrypt (target tarncrypt::tarncrypt) for building against libtarncrypt."
    "${tarn_lib_package} (>= ${TARN_ABI_VERSION})")
# Both hold only files of their own architecture's folders or files equal on every one.
set(CPACK_TARN_MULTIARCH_SAME ${tarn_lib_package} libtarncrypt-dev)
tarn_deb_component(morvex morvex utils
    "encrypts and decrypts credential envelopes"
    "morvex -e writes an @@ envelope of a secret, morvex -d opens envelopes and\nlegacy texts, with the master key from the platform's key files.")
if(TARN_POSTGRES)
    tarn_deb_component(dbcipher postgresql-${PG_MAJOR}-dbcipher database
        "libtarncrypt's text transforms as SQL functions for PostgreSQL ${PG_MAJOR}"
        "The dbcipher extension: aes_encr, encr, decr, compute_salt, mangle_port and\nuser/host splitting, giving the same texts as libtarncrypt."
        "postgresql-${PG_MAJOR}")
endif()
if(TARN_POSTGRES AND TARN_LDAP)
    tarn_deb_component(quenby_ldap postgresql-${PG_MAJOR}-quenby-ldap database
        "LDAP sessions, searches and result walking from SQL for PostgreSQL ${PG_MAJOR}"
        "The quenby_ldap extension: LDAP sessions, simple binds, StartTLS with client\ncertificates, synchronous searches and the walking of their results as SQL\nfunctions; directory servers defined once as foreign servers, with passwords\nsealed under the server key, and sessions by a server's name."
        "postgresql-${PG_MAJOR}")
endif()

include(CPack)
