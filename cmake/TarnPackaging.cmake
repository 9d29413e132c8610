# Debian packages, one per install component, built with `cpack -G DEB` in a tree configured
# for the system prefix (packaging/build_debs.sh does both). The version is the project's.

set(CPACK_PACKAGE_NAME tarncrypt)
set(CPACK_PACKAGE_VENDOR "tarncrypt")
set(CPACK_PACKAGE_CONTACT "tarncrypt maintainers <tarncrypt@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# dpkg-shlibdeps meets libtarncrypt in the build tree; the dependency on its package is named
# below, since that package is not installed while these are built.
get_target_property(tarn_library_dir tarncrypt BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${tarn_library_dir})
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/tarncrypt")
# Debian's documentation files and compressed man pages go into the staged packages only: a
# plain `cmake --install` stays free of them.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/debian_docs.cmake)
set(CPACK_TARN_SOURCE_DIR ${PROJECT_SOURCE_DIR})

set(tarn_lib_package libtarncrypt${PROJECT_VERSION_MAJOR})
set(tarn_exact "(= ${PROJECT_VERSION})")

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
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
tarn_deb_component(dev libtarncrypt-dev libdevel
    "credential-protection library - development files"
    "The header encDec.h, the pkg-config file tarncrypt.pc and the CMake package\ntarncrypt (target tarncrypt::tarncrypt) for building against libtarncrypt."
    "${tarn_lib_package} ${tarn_exact}")
tarn_deb_component(morvex morvex utils
    "encrypts and decrypts credential envelopes"
    "morvex -e writes an @@ envelope of a secret, morvex -d opens envelopes and\nlegacy texts, with the master key from the platform's key files."
    "${tarn_lib_package} ${tarn_exact}")
if(TARN_POSTGRES)
    tarn_deb_component(dbcipher postgresql-${PG_MAJOR}-dbcipher database
        "libtarncrypt's text transforms as SQL functions for PostgreSQL ${PG_MAJOR}"
        "The dbcipher extension: aes_encr, encr, decr, compute_salt, mangle_port and\nuser/host splitting, giving the same texts as libtarncrypt."
        "postgresql-${PG_MAJOR}, ${tarn_lib_package} ${tarn_exact}")
endif()
if(TARN_POSTGRES AND TARN_LDAP)
    tarn_deb_component(quenby_ldap postgresql-${PG_MAJOR}-quenby-ldap database
        "LDAP sessions, searches and result walking from SQL for PostgreSQL ${PG_MAJOR}"
        "The quenby_ldap extension: LDAP sessions, simple binds, StartTLS with client\ncertificates, synchronous searches and the walking of their results as SQL\nfunctions."
        "postgresql-${PG_MAJOR}")
endif()

include(CPack)
