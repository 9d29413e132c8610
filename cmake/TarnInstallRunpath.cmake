# Runs inside `cmake --install` (and CPack's staging install) for a binary that links
# libtarncrypt (tarn_install_runpath). Inputs: TARN_RUNPATH_FILE (the installed file, without
# DESTDIR), TARN_RUNPATH_RELATIVE (the file keeps its own $ORIGIN RUNPATH outside the loader's
# directories), TARN_RUNPATH_LIBDIR (the install's libdir, relative to the prefix),
# TARN_RUNPATH_ARCH, TARN_PATCHELF. CMake has already replaced the build tree's RUNPATH.

if(IS_ABSOLUTE "${TARN_RUNPATH_LIBDIR}")
    set(libdir "${TARN_RUNPATH_LIBDIR}")
else()
    set(libdir "${CMAKE_INSTALL_PREFIX}/${TARN_RUNPATH_LIBDIR}")
endif()
set(installed "$ENV{DESTDIR}${TARN_RUNPATH_FILE}")

# The loader searches these by itself; a RUNPATH there would only shadow ldconfig's choice.
set(loader_dirs /lib /usr/lib /lib64 /usr/lib64)
if(TARN_RUNPATH_ARCH)
    list(APPEND loader_dirs /lib/${TARN_RUNPATH_ARCH} /usr/lib/${TARN_RUNPATH_ARCH})
endif()
# (list(FIND): install scripts run without the project's policy settings.)
list(FIND loader_dirs "${libdir}" loader_dir)
if(loader_dir GREATER -1)
    file(RPATH_REMOVE FILE "${installed}")
    return()
endif()
if(TARN_RUNPATH_RELATIVE)
    return()
endif()

if(NOT TARN_PATCHELF)
    message(WARNING "patchelf is missing: ${installed} finds libtarncrypt only if ${libdir} "
                    "is on the loader's path (ld.so.conf.d and ldconfig)")
    return()
endif()
message(STATUS "RUNPATH of ${installed}: ${libdir}")
execute_process(COMMAND "${TARN_PATCHELF}" --set-rpath "${libdir}" "${installed}"
                COMMAND_ERROR_IS_FATAL ANY)
