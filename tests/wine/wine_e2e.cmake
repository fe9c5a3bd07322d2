# SPDX-License-Identifier: MIT
# The end-to-end tests once more, against the Windows bridge of
# CAPI_BRIDGE_WINDOWS_BUILD under Wine (prefix `windows.`, label `windows`),
# through the real libcapi20: a forwarding libcapi20-3.dll, a Wine builtin
# (ELF) DLL built here with winegcc (Debian: wine64-tools), takes the
# bridge's calls to Debian's libcapi20.so.3. A test fixture, never installed.
# Included from the folder of client_e2e_test.

find_program(CAPI_BRIDGE_WINEGCC winegcc)
if(NOT CAPI_BRIDGE_WINEGCC)
  message(STATUS "No winegcc (Debian: wine64-tools): the end-to-end tests do not run "
                 "against the Windows bridge")
  return()
endif()
include(${CMAKE_CURRENT_LIST_DIR}/wine_environment.cmake)

# Wine loads the DLL from beside the exe, by its plain name only, so the
# bridge runs from a copy in a folder of its own, away from the stand-ins of
# the same name; the Windows test programs and the demo join it there.
set(windows_folder ${CMAKE_CURRENT_BINARY_DIR}/windows-bridge)
set(forwarding_build ${CMAKE_CURRENT_BINARY_DIR}/forwarding-dll)
set(forwarding_sources ${CMAKE_CURRENT_LIST_DIR}/libcapi20-3.spec
                       ${CMAKE_CURRENT_LIST_DIR}/forwarding_dll.c)
file(MAKE_DIRECTORY ${forwarding_build} ${windows_folder})
add_custom_command(OUTPUT ${windows_folder}/libcapi20-3.dll
  COMMAND ${CAPI_BRIDGE_WINEGCC} -shared ${capi_bridge_warning_flags} -o libcapi20-3.dll
          ${forwarding_sources} -ldl
  # winegcc writes libcapi20-3.dll.so.
  COMMAND ${CMAKE_COMMAND} -E copy libcapi20-3.dll.so ${windows_folder}/libcapi20-3.dll
  DEPENDS ${forwarding_sources}
  WORKING_DIRECTORY ${forwarding_build}
  COMMENT "Building the forwarding libcapi20-3.dll with winegcc"
  VERBATIM)
set(windows_folder_files ${windows_folder}/libcapi20-3.dll)
foreach(program capi-bridge.exe tests/windows_parent.exe tests/forwarding_check.exe
                demo/capi-bridge-demo.exe interface/capi2064.dll interface/capi2032_call.exe
                interface/capi_dll_tests.exe)
  get_filename_component(name ${program} NAME)
  # A copy: started through a symbolic link, it would not find the DLL.
  add_custom_command(OUTPUT ${windows_folder}/${name}
    COMMAND ${CMAKE_COMMAND} -E copy ${CAPI_BRIDGE_WINDOWS_BUILD}/${program} ${windows_folder}/
    DEPENDS ${CAPI_BRIDGE_WINDOWS_BUILD}/${program} ${windows_folder}/libcapi20-3.dll
    VERBATIM)
  list(APPEND windows_folder_files ${windows_folder}/${name})
endforeach()
add_custom_target(windows_bridge_folder ALL DEPENDS ${windows_folder_files})

gtest_discover_tests(client_e2e_test TEST_PREFIX windows.client. TEST_LIST windows_e2e_tests)
set_wine_test_properties(windows_e2e_tests 120 CAPI_BRIDGE_WINDOWS_FOLDER=${windows_folder})
