# GoogleTest from the Debian sources, built with the cross compiler.
set(TOVI_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")

macro(tovi_enable_gtest)
  if(NOT TARGET gtest)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(${TOVI_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  endif()
endmacro()

# Every test of the calling directory runs in the suite's own Wine prefix,
# never in the program's (build/wineprefix, which keeps the user's settings
# and last used file), once the fixture wine_prefix has brought it up.
set(TOVI_TEST_PREFIX ${CMAKE_BINARY_DIR}/wineprefix-tests)
function(tovi_use_test_prefix)
  get_property(tests DIRECTORY PROPERTY TESTS)
  if(tests)
    set_tests_properties(${tests} PROPERTIES FIXTURES_REQUIRED wine_prefix
      ENVIRONMENT "WINEPREFIX=${TOVI_TEST_PREFIX}")
  endif()
endfunction()

# tovi_add_test(<name> SOURCES ... LIBS ... [TIMEOUT s] [WHOLE])
# One executable; every TEST/TEST_F in its sources becomes its own ctest test,
# run under the cross-compiling emulator (Wine).  WHOLE registers the executable
# as a single ctest test instead (for suites that must run in one process).
function(tovi_add_test name)
  cmake_parse_arguments(T "WHOLE" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  # Once per directory, when all its tests are there: the script tests beside these too.
  get_property(prefixed DIRECTORY PROPERTY TOVI_USES_TEST_PREFIX)
  if(NOT prefixed)
    set_property(DIRECTORY PROPERTY TOVI_USES_TEST_PREFIX TRUE)
    cmake_language(DEFER CALL tovi_use_test_prefix)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES} ${PROJECT_SOURCE_DIR}/tests/support/TestMain.cpp
                 $<TARGET_OBJECTS:tovi_resources>)
  target_link_libraries(${name} PRIVATE ${T_LIBS} gtest)
  # WaitFor.h is the server driver's, shared with the benchmarks.
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support
                             ${PROJECT_SOURCE_DIR}/tools/serverdriver)
  tovi_warnings(${name})
  if(T_WHOLE)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  else()
    include(GoogleTest)
    gtest_add_tests(TARGET ${name} SOURCES ${T_SOURCES} TEST_LIST added)
    set_tests_properties(${added} PROPERTIES TIMEOUT ${T_TIMEOUT})
  endif()
endfunction()
