# Helpers that register tests with CTest.
#
# korvane_gtest(NAME SOURCES... LIBS ...): a GoogleTest program, each test case its own
#   CTest entry (discovered when ctest runs, so building stays fast).
# korvane_qtest(NAME SOURCES... LIBS ...): a Qt Test program run on the offscreen platform.

function(korvane_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT KORVANE_BUILD_TESTS)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} korvane_testing GTest::gtest GTest::gtest_main korvane_warnings)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "LC_ALL=C;TZ=UTC")
endfunction()

function(korvane_qtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT KORVANE_BUILD_TESTS)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} korvane_testing Qt6::Test korvane_warnings)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT
    "QT_QPA_PLATFORM=offscreen;XDG_RUNTIME_DIR=${CMAKE_BINARY_DIR}/xdg-runtime;LC_ALL=C;TZ=UTC;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/src/testing/lsan.supp:print_suppressions=0")
endfunction()
