# Test programs are 32-bit Windows executables that CTest runs under Wine
# (CMAKE_CROSSCOMPILING_EMULATOR). tools/run-tests.sh prepares the Wine
# prefix in the build tree, the X server and a persistent wineserver; the
# environment below points every test at that prefix.
set(WINE_TEST_PREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix the tests run in")
set(WINE_TEST_ENVIRONMENT
    WINEPREFIX=${WINE_TEST_PREFIX}
    WINEARCH=win32
    WINEDEBUG=-all
    "WINEDLLOVERRIDES=mscoree,mshtml=")

set(GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
if(NOT TARGET gtest)
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

# Every test runs through run_checked.sh, which fails it on a crash or a
# GoogleTest failure whatever the exit status (Wine's debugger ends a crashed
# program with any status, 0 included).
set(RUN_CHECKED sh ${CMAKE_SOURCE_DIR}/tests/run_checked.sh)

# A test's limit is written as what it may take on a quiet machine, at
# least twice what it takes there; the limit set is that times this factor,
# for a machine that others keep busy (with four CPU-bound processes beside
# it on the 2 cores the lifetime rounds took 3.8 times as long, and a load
# of 10 to 20 slows a run further). Only a test that hangs waits that long.
set(TEST_TIME_LIMIT_FACTOR 4 CACHE STRING "Multiplies every test's time limit")

# Every test runs in the build's Wine prefix from the program folder, one at
# a time: tests share one registry (the prefix's HKCU) and one log file.
function(set_wine_test_properties name timeout)
    math(EXPR limit "${timeout} * ${TEST_TIME_LIMIT_FACTOR}")
    set_tests_properties(${name} PROPERTIES
        TIMEOUT ${limit}
        RUN_SERIAL TRUE
        ENVIRONMENT "${WINE_TEST_ENVIRONMENT}"
        WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endfunction()

# add_wine_test(NAME name SOURCES ... [LIBRARIES ...] [TIMEOUT s] [FILTER f])
# Builds a GoogleTest program and registers it with CTest, running the tests
# FILTER selects (a GoogleTest filter), all of them without one.
function(add_wine_test)
    cmake_parse_arguments(T "" "NAME;TIMEOUT;FILTER" "SOURCES;LIBRARIES" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBRARIES} gtest gtest_main)
    target_link_options(${T_NAME} PRIVATE ${STATIC_RUNTIME})
    target_compile_options(${T_NAME} PRIVATE ${PROJECT_WARNINGS})
    set(filter)
    if(T_FILTER)
        set(filter --gtest_filter=${T_FILTER})
    endif()
    add_test(NAME ${T_NAME} COMMAND ${RUN_CHECKED} gtest wine $<TARGET_FILE:${T_NAME}> --gtest_color=no ${filter})
    set_wine_test_properties(${T_NAME} ${T_TIMEOUT})
endfunction()

# add_wine_test_part(NAME name PROGRAM target FILTER f TIMEOUT s): another
# CTest entry for the tests of a program that FILTER selects, so that a long
# program runs as parts, each with a limit of its own.
function(add_wine_test_part)
    cmake_parse_arguments(T "" "NAME;PROGRAM;FILTER;TIMEOUT" "" ${ARGN})
    add_test(NAME ${T_NAME} COMMAND ${RUN_CHECKED} gtest wine $<TARGET_FILE:${T_PROGRAM}> --gtest_color=no
        --gtest_filter=${T_FILTER})
    set_wine_test_properties(${T_NAME} ${T_TIMEOUT})
endfunction()

# add_script_test(NAME name COMMAND ... [TIMEOUT s]): a test that is not a
# GoogleTest program, failed as well when a Wine program it starts crashes.
function(add_script_test)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "COMMAND" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 60)
    endif()
    add_test(NAME ${T_NAME} COMMAND ${RUN_CHECKED} script ${T_COMMAND})
    set_wine_test_properties(${T_NAME} ${T_TIMEOUT})
endfunction()
