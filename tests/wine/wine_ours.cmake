# SPDX-License-Identifier: MIT
# The Windows end-to-end tests once more with our own libcapi20-3.dll
# (libcapi20/) in place of the forwarding one, as the zip ships it: the
# client's end-to-end suite against the Windows bridge, capi2064.dll's
# tests and the demo's probe, each in a folder that holds nothing but the
# Windows build's files (prefix `windows.ours.`, label `windows`). Included
# from the folder of client_e2e_test, after wine_e2e.cmake, which keeps the
# forwarding DLL's run. And the zip itself, unpacked, probing the host.

include(${CMAKE_CURRENT_LIST_DIR}/wine_environment.cmake)

set(ours_folder ${CMAKE_CURRENT_BINARY_DIR}/windows-bridge-ours)
set(ours_library ${CAPI_BRIDGE_WINDOWS_BUILD}/libcapi20/libcapi20-3.dll)
file(MAKE_DIRECTORY ${ours_folder})
set(ours_files)
foreach(program libcapi20/libcapi20-3.dll capi-bridge.exe demo/capi-bridge-demo.exe
                interface/capi2064.dll interface/capi_dll_tests.exe interface/capi2032_call.exe
                libcapi20/libcapi20_windows_check.exe libcapi20/libcapi20_wire_scenario.exe)
  get_filename_component(name ${program} NAME)
  # A copy: started through a symbolic link, a program would not find the DLL.
  add_custom_command(OUTPUT ${ours_folder}/${name}
    COMMAND ${CMAKE_COMMAND} -E copy ${CAPI_BRIDGE_WINDOWS_BUILD}/${program} ${ours_folder}/
    DEPENDS ${CAPI_BRIDGE_WINDOWS_BUILD}/${program}
    VERBATIM)
  list(APPEND ours_files ${ours_folder}/${name})
endforeach()
add_custom_target(windows_bridge_folder_ours ALL DEPENDS ${ours_files})

find_program(CAPI_BRIDGE_MINGW_OBJDUMP x86_64-w64-mingw32-objdump REQUIRED)
add_test(NAME windows.ours.libcapi20_imports_only_system_dlls
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/check_imports.sh ${CAPI_BRIDGE_MINGW_OBJDUMP}
          ${ours_library})
set_tests_properties(windows.ours.libcapi20_imports_only_system_dlls PROPERTIES LABELS windows)

# All but the cases about Debian's library or the forwarding DLL themselves:
# the ID table in /dev/shm, the trace lines, the .capi20rc the forwarding DLL
# hands on, its time-out conversion; the host's ID 0, which this library
# refuses and closes at once, so that the host hands it out again; and a
# DATA_B3_IND whose Data length lies, which this library throws away
# (0x1102) instead of handing out (libcapi20/tests has both).
set(debian_only
  e2e_test.a_host_restart_leaves_the_id_it_hands_out_again_to_its_new_owner
  e2e_test.library_lines_go_to_the_stderr_file_when_the_trace_level_is_not_0
  e2e_test.windows_parents_home_and_standard_error_reach_the_library
  e2e_test.forwarding_dll_converts_the_wait_time_both_ways
  e2e_test.application_id_0_from_the_host_is_a_failed_registration
  e2e_test.host_length_fields_never_reach_past_what_the_library_received)
list(JOIN debian_only ":" debian_only)
gtest_discover_tests(client_e2e_test TEST_PREFIX windows.ours.client. TEST_LIST windows_ours_tests
  TEST_FILTER "-${debian_only}")
set_wine_test_properties(windows_ours_tests 120 CAPI_BRIDGE_WINDOWS_FOLDER=${ours_folder}
  CAPI_BRIDGE_WINDOWS_LIBRARY_SOCKET=1)

add_test(NAME windows.ours.demo.probes_the_emulated_host
  COMMAND ${private_shm} sh ${CMAKE_CURRENT_LIST_DIR}/windows_demo_probe.sh
          $<TARGET_FILE:capi-host-emulator> ${ours_folder})
add_test(NAME windows.ours.interface.capi_dll_tests
  COMMAND ${private_shm} sh ${PROJECT_SOURCE_DIR}/interface/tests/wine_dll_test.sh
          $<TARGET_FILE:capi-host-emulator> ${ours_folder})
# The DLL itself against a host that misbehaves.
add_test(NAME windows.ours.libcapi20.hostile_host
  COMMAND sh ${PROJECT_SOURCE_DIR}/libcapi20/tests/windows_check.sh
          $<TARGET_FILE:capi-host-emulator> ${ours_folder})
# The same whole call through Debian's library and through this DLL,
# every byte on the wire compared.
add_test(NAME windows.ours.libcapi20.wire_is_debians
  COMMAND ${private_shm} sh ${PROJECT_SOURCE_DIR}/libcapi20/tests/wire_compare.sh
          $<TARGET_FILE:capi-host-emulator> $<TARGET_FILE:wire_scenario>
          $<TARGET_FILE:capi_bridge_libcapi20> ${PROJECT_SOURCE_DIR}
          ${ours_folder}/libcapi20_wire_scenario.exe)
# The zip itself, unpacked into an empty folder.
add_test(NAME windows.ours.zip_probes_the_emulated_host
  COMMAND ${private_shm} sh ${CMAKE_CURRENT_LIST_DIR}/zip_probe.sh ${CMAKE_CPACK_COMMAND}
          ${CAPI_BRIDGE_WINDOWS_BUILD} $<TARGET_FILE:capi-host-emulator>)
set_tests_properties(windows.ours.demo.probes_the_emulated_host
  windows.ours.interface.capi_dll_tests windows.ours.zip_probes_the_emulated_host
  windows.ours.libcapi20.hostile_host windows.ours.libcapi20.wire_is_debians PROPERTIES
  LABELS windows FIXTURES_REQUIRED wine TIMEOUT 180
  ENVIRONMENT "${wine_environment}"
  ENVIRONMENT_MODIFICATION "DISPLAY=unset:;WAYLAND_DISPLAY=unset:")
