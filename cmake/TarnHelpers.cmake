# Shared build helpers: unit tests, fuzz targets and benchmarks are declared the same way
# in every component.

if(TARN_TESTS)
    find_package(GTest REQUIRED)
    include(GoogleTest)
endif()
if(TARN_BENCHMARKS)
    find_package(benchmark QUIET)
    if(NOT benchmark_FOUND)
        message(STATUS "Google Benchmark not found: benchmarks are not built")
        set(TARN_BENCHMARKS OFF)
    endif()
endif()

# What a tree that exists for one kind of finding builds: `fuzzers` (every fuzz target) and
# `threaded_tests` (the test programs that start threads, all a ThreadSanitizer tree needs).
if(TARN_TESTS)
    add_custom_target(fuzzers)
    add_custom_target(threaded_tests)
endif()

# tarn_add_gtest(<name> SOURCES ... [LIBS ...] [THREADED])
# THREADED: the program starts threads; its tests carry the label `threads`.
function(tarn_add_gtest name)
    if(NOT TARN_TESTS)
        return()
    endif()
    cmake_parse_arguments(ARG "THREADED" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest_main)
    if(ARG_THREADED)
        gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS threads)
        add_dependencies(threaded_tests ${name})
    else()
        gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
    endif()
endfunction()

# tarn_test_each_aes_engine(<gtest target> <gtest filter>)
# Runs the filtered cases once more under each AES engine the library can be made to take;
# the target must link aesEngineUnderTest.cpp, which names the engine and skips AES-NI where
# the processor lacks it.
function(tarn_test_each_aes_engine target filter)
    if(NOT TARN_TESTS)
        return()
    endif()
    foreach(engine evp low-level aes-ni)
        gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 TEST_FILTER "${filter}"
            TEST_SUFFIX ".${engine}"
            PROPERTIES ENVIRONMENT TARN_AES_ENGINE=${engine} LABELS aes-engine)
    endforeach()
endfunction()

# tarn_add_fuzzer(<name> SOURCES ... CORPUS <dir> [LIBS ...])
# With TARN_LIBFUZZER the target is a libFuzzer binary; otherwise a small driver replays
# every file of the corpus. Either way ctest runs the committed corpus through it.
function(tarn_add_fuzzer name)
    if(NOT TARN_TESTS)
        return()
    endif()
    cmake_parse_arguments(ARG "" "CORPUS" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
    add_dependencies(fuzzers ${name})
    if(TARN_LIBFUZZER)
        target_link_options(${name} PRIVATE -fsanitize=fuzzer)
        add_test(NAME ${name}.corpus COMMAND ${name} -runs=0 ${ARG_CORPUS})
    else()
        target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/fuzz_replay_main.cpp)
        add_test(NAME ${name}.corpus COMMAND ${name} ${ARG_CORPUS})
    endif()
    set_tests_properties(${name}.corpus PROPERTIES LABELS fuzz)
endfunction()

# tarn_add_benchmark(<name> SOURCES ... [LIBS ...])
function(tarn_add_benchmark name)
    if(NOT TARN_BENCHMARKS)
        return()
    endif()
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark)
endfunction()

# tarn_install_runpath(<component> <installed file> [RELATIVE])
# The prefix may be chosen only at install time, so the RUNPATH that finds libtarncrypt is
# settled then, from the libdir of that install: none in the loader's own directories, else
# the file's own relative one (RELATIVE) or that libdir (set with patchelf).
function(tarn_install_runpath component file)
    cmake_parse_arguments(ARG "RELATIVE" "" "" ${ARGN})
    install(CODE "set(TARN_RUNPATH_FILE \"${file}\")
        set(TARN_RUNPATH_RELATIVE ${ARG_RELATIVE})
        set(TARN_RUNPATH_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
        set(TARN_RUNPATH_ARCH \"${CMAKE_LIBRARY_ARCHITECTURE}\")
        set(TARN_PATCHELF \"${TARN_PATCHELF}\")
        include(\"${PROJECT_SOURCE_DIR}/cmake/TarnInstallRunpath.cmake\")"
        COMPONENT ${component})
endfunction()
