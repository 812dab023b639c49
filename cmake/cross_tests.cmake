# The checks of a cross build, run under the build's emulator (wine for Windows, qemu-aarch64
# for ARM64) by `ctest --test-dir <build>`:
#   - engine_checks: the program itself (scripts/check-engine.sh): the bench signatures the
#     native build pins, a UCI session with CR LF line ends, Syzygy probes, command-line
#     commands and genfens;
#   - portable_tests: test files of the engine library that need no POSIX process calls
#     (attack tables, perft, the network's vector paths against the scalar one, threads),
#     built with GoogleTest's sources from Debian's googletest package.
set(ORVANE_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources (Debian's googletest package)")
if(NOT EXISTS "${ORVANE_GTEST_SOURCE}/CMakeLists.txt")
    message(FATAL_ERROR "no GoogleTest sources in ${ORVANE_GTEST_SOURCE} (apt-get install googletest)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory("${ORVANE_GTEST_SOURCE}" googletest EXCLUDE_FROM_ALL SYSTEM)
target_compile_options(gtest PRIVATE -w)  # another project's code, as it is

set(PORTABLE_TEST_SOURCES
    tests/core/board/attacks_test.cpp
    tests/core/board/perft_test.cpp
    tests/core/eval/nnue_eval_test.cpp
    tests/core/parallel/named_thread_test.cpp)
add_executable(orvane-portable-tests ${PORTABLE_TEST_SOURCES})
target_include_directories(orvane-portable-tests PRIVATE tests tests/core/board)
target_link_libraries(orvane-portable-tests PRIVATE orvane_uci gtest gtest_main)
target_compile_definitions(orvane-portable-tests PRIVATE ORVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")

add_test(NAME portable_tests COMMAND orvane-portable-tests)
set(_emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
add_test(NAME engine_checks
         COMMAND "${PROJECT_SOURCE_DIR}/scripts/check-engine.sh" ${_emulator} $<TARGET_FILE:orvane>)
set_tests_properties(portable_tests engine_checks PROPERTIES
    WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}" TIMEOUT 900)
