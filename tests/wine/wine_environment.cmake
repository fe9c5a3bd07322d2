# SPDX-License-Identifier: MIT
# What every test that runs a Windows program under Wine shares: the one Wine
# prefix whose server the fixture `wine` (wine_tests.cmake) starts and stops,
# Wine's settings (the same as wine_prefix.sh's), and a function that gives
# discovered GoogleTest cases the label `windows`, that fixture and that
# environment.

set(wine_prefix ${CMAKE_BINARY_DIR}/wine-prefix)
set(wine_environment
  WINEPREFIX=${wine_prefix}
  WINEDEBUG=-all,err+module
  WINEDLLOVERRIDES=mscoree,mshtml,winedbg.exe=d)

# For the tests that gtest_discover_tests lists in the variable named
# `test_list`: label, fixture, TIMEOUT `timeout`, and Wine's environment plus
# the NAME=VALUE items that follow. Test properties with list values do not
# survive gtest_discover_tests, so they are set by a file that CTest reads
# after the discovered tests.
function(set_wine_test_properties test_list timeout)
  set(environment ${wine_environment} ${ARGN})
  set(properties ${CMAKE_CURRENT_BINARY_DIR}/${test_list}_properties.cmake)
  file(WRITE ${properties}
    "if(${test_list})\n"
    "  set_tests_properties(\${${test_list}} PROPERTIES\n"
    "    LABELS windows FIXTURES_REQUIRED wine TIMEOUT ${timeout}\n"
    "    ENVIRONMENT \"${environment}\"\n"
    "    ENVIRONMENT_MODIFICATION \"DISPLAY=unset:;WAYLAND_DISPLAY=unset:\")\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${properties})
endfunction()
