# SPDX-License-Identifier: MIT
# The client side as Windows programs from CAPI_BRIDGE_WINDOWS_BUILD, under
# Wine (prefix `windows.`, label `windows`): the C++ client library's tests
# that need nothing of Linux (child_process with its own child program, and
# the client against the Windows bridge and the stand-in), each child
# started through the client's CreateProcess code; and capi-bridge-demo.exe
# probing the emulated host through the forwarding DLL. Included from the
# folder of client_e2e_test, after wine_e2e.cmake.

include(${CMAKE_CURRENT_LIST_DIR}/wine_environment.cmake)

# The Windows test program can list its cases only under Wine, which the
# build has no prefix for: one CTest test per group of cases, with the cases
# in its output; the second group is everything but the first.
set(windows_client_tests ${CAPI_BRIDGE_WINDOWS_BUILD}/clients/cpp/tests/client_tests.exe)
set(windows_client_groups
  child_process "child_process.*"
  stand_in "-child_process.*")
while(windows_client_groups)
  list(POP_FRONT windows_client_groups group filter)
  add_test(NAME windows.client.${group}
    COMMAND wine ${windows_client_tests} --gtest_filter=${filter})
  list(APPEND windows_client_test_names windows.client.${group})
endwhile()

# The demo lies in the folder of the Windows bridge and the forwarding DLL
# (wine_e2e.cmake), which only a build with winegcc has.
if(TARGET windows_bridge_folder)
  add_test(NAME windows.demo.probes_the_emulated_host
    COMMAND ${private_shm} sh ${CMAKE_CURRENT_LIST_DIR}/windows_demo_probe.sh
            $<TARGET_FILE:capi-host-emulator> ${windows_folder})
  list(APPEND windows_client_test_names windows.demo.probes_the_emulated_host)
endif()

set_tests_properties(${windows_client_test_names} PROPERTIES
  LABELS windows FIXTURES_REQUIRED wine TIMEOUT 120
  ENVIRONMENT "${wine_environment}"
  ENVIRONMENT_MODIFICATION "DISPLAY=unset:;WAYLAND_DISPLAY=unset:")
