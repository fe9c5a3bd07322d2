# SPDX-License-Identifier: MIT
# The black-box suite once more, against the Windows build in
# CAPI_BRIDGE_WINDOWS_BUILD started through Wine, labelled `windows`. One Wine
# server in a fresh prefix serves the whole run: the fixture `wine` starts it
# before the first of these tests and stops it after the last, pass or fail.

include(${CMAKE_CURRENT_LIST_DIR}/wine_environment.cmake)
set(windows_bridge ${CAPI_BRIDGE_WINDOWS_BUILD}/capi-bridge.exe)

add_test(NAME windows.wine_start
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/wine_prefix.sh start ${wine_prefix})
add_test(NAME windows.wine_stop
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/wine_prefix.sh stop ${wine_prefix})
set_tests_properties(windows.wine_start PROPERTIES FIXTURES_SETUP wine LABELS windows TIMEOUT 300)
set_tests_properties(windows.wine_stop PROPERTIES FIXTURES_CLEANUP wine LABELS windows TIMEOUT 60)

find_program(CAPI_BRIDGE_MINGW_OBJDUMP x86_64-w64-mingw32-objdump REQUIRED)
add_test(NAME windows.imports_only_system_dlls
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/check_imports.sh ${CAPI_BRIDGE_MINGW_OBJDUMP}
          ${windows_bridge})
set_tests_properties(windows.imports_only_system_dlls PROPERTIES LABELS windows)

gtest_discover_tests(bridge_tests NO_PRETTY_VALUES TEST_PREFIX windows. TEST_LIST windows_bridge_tests)

set_wine_test_properties(windows_bridge_tests 60
  CAPI_BRIDGE_WINDOWS=1
  CAPI_BRIDGE_EXECUTABLE=${windows_bridge}
  CAPI_BRIDGE_FAKE_CAPI=${CAPI_BRIDGE_WINDOWS_BUILD}/tests/fake_capi
  CAPI_BRIDGE_WINDOWS_PIPES=${CAPI_BRIDGE_WINDOWS_BUILD}/tests/windows_pipes.exe)
