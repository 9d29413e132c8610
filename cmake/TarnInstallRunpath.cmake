# Runs inside `cmake --install` (and CPack's staging install) for a database module that links
# libtarncrypt. Inputs: TARN_RUNPATH_FILE (the installed module, without DESTDIR),
# TARN_RUNPATH_LIBDIR (the install's libdir, relative to the prefix), TARN_RUNPATH_ARCH,
# TARN_PATCHELF. CMake has already dropped the build tree's RUNPATH.

if(IS_ABSOLUTE "${TARN_RUNPATH_LIBDIR}")
    set(libdir "${TARN_RUNPATH_LIBDIR}")
else()
    set(libdir "${CMAKE_INSTALL_PREFIX}/${TARN_RUNPATH_LIBDIR}")
endif()
set(module "$ENV{DESTDIR}${TARN_RUNPATH_FILE}")

# The loader searches these by itself; a RUNPATH there would only shadow ldconfig's choice.
set(loader_dirs /lib /usr/lib /lib64 /usr/lib64)
if(TARN_RUNPATH_ARCH)
    list(APPEND loader_dirs /lib/${TARN_RUNPATH_ARCH} /usr/lib/${TARN_RUNPATH_ARCH})
endif()
# (list(FIND): install scripts run without the project's policy settings.)
list(FIND loader_dirs "${libdir}" loader_dir)
if(loader_dir GREATER -1)
    return()
endif()

if(NOT TARN_PATCHELF)
    message(WARNING "patchelf is missing: ${module} finds libtarncrypt only if ${libdir} "
                    "is on the loader's path (ld.so.conf.d and ldconfig)")
    return()
endif()
message(STATUS "RUNPATH of ${module}: ${libdir}")
execute_process(COMMAND "${TARN_PATCHELF}" --set-rpath "${libdir}" "${module}"
                COMMAND_ERROR_IS_FATAL ANY)
