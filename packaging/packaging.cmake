# SPDX-License-Identifier: MIT
# What `cmake --install` lays out, version from project(). On Linux: the
# programs, their man pages and the protocol reference (debian/ splits these
# and the client library's files into Debian packages); on Windows: the
# files of the zip, which CPack packs (packaging/build-packages.sh builds both):
# the bridge, the demo (which probes a CAPI host there), our libcapi20-3.dll
# (libcapi20/ installs it), the licence, the protocol reference and a read-me.
include(GNUInstallDirs)

if(WIN32)
  # The zip: one folder holding the bridge, the demo, the licence, the
  # protocol reference and a read-me.
  install(TARGETS capi-bridge capi-bridge-demo RUNTIME DESTINATION .)
  # capi2032.dll and its import library come from a 32-bit build of its own
  # (CMakePresets.json: windows32), stripped there: CPack strips only what
  # this build makes. capi2064.dll installs itself (interface/).
  set(CAPI_BRIDGE_WINDOWS32_DLL "" CACHE FILEPATH "capi2032.dll of a 32-bit build, for the zip")
  if(CAPI_BRIDGE_WINDOWS32_DLL)
    get_filename_component(windows32_folder ${CAPI_BRIDGE_WINDOWS32_DLL} DIRECTORY)
    install(PROGRAMS ${CAPI_BRIDGE_WINDOWS32_DLL} DESTINATION .)
    install(FILES ${windows32_folder}/libcapi2032.a DESTINATION .)
  endif()
  # The plain-text files with Windows line ends, for every editor there.
  set(windows_text ${CMAKE_CURRENT_BINARY_DIR}/windows-text)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/README-windows.txt ${windows_text}/README.txt
    @ONLY NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${windows_text}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${windows_text}/README.txt ${windows_text}/LICENSE.txt
    ${PROJECT_SOURCE_DIR}/docs/protocol.md ${PROJECT_SOURCE_DIR}/docs/windows-programs.md
    ${PROJECT_SOURCE_DIR}/docs/libcapi20.md DESTINATION .)
  set(CPACK_PACKAGE_NAME capi-bridge)
  set(CPACK_PACKAGE_VENDOR "The capi-bridge developers")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_STRIP_FILES ON)
  include(CPack)
  return()
endif()

install(TARGETS capi-bridge capi-host-emulator capi-bridge-demo
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The read-me for where it is installed (its links lead to the pages beside
# it), and the pages.
configure_file(${CMAKE_CURRENT_LIST_DIR}/README-installed.md
  ${CMAKE_CURRENT_BINARY_DIR}/installed/README.md @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/installed/README.md ${PROJECT_SOURCE_DIR}/docs/protocol.md
  ${PROJECT_SOURCE_DIR}/docs/running-existing-programs.md
  ${PROJECT_SOURCE_DIR}/docs/windows-programs.md ${PROJECT_SOURCE_DIR}/docs/architecture.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/capi-bridge)

# A man page for each program in bin/: capi-bridge(1), which has no --help,
# written by hand; the others made from their --help and --version by
# help2man, with the sections of docs/man/PROGRAM.h2m added.
set(CAPI_BRIDGE_MAN_PAGES AUTO CACHE STRING
  "Man pages of the installed programs: ON, OFF, or AUTO (ON when help2man is found)")
find_program(HELP2MAN help2man)
set(man_dir ${CMAKE_CURRENT_BINARY_DIR}/man)
configure_file(${PROJECT_SOURCE_DIR}/docs/man/capi-bridge.1.in ${man_dir}/capi-bridge.1 @ONLY)
set(man_pages ${man_dir}/capi-bridge.1)
if(CAPI_BRIDGE_MAN_PAGES STREQUAL "AUTO" AND NOT HELP2MAN)
  message(STATUS "help2man not found: no man pages for the programs that take --help")
elseif(CAPI_BRIDGE_MAN_PAGES)
  if(NOT HELP2MAN)
    message(FATAL_ERROR "CAPI_BRIDGE_MAN_PAGES is ${CAPI_BRIDGE_MAN_PAGES}, and help2man is missing")
  endif()
  set(help2man_programs capi-host-emulator capi-bridge-demo)
  if(TARGET capi-bridge-run)
    list(APPEND help2man_programs capi-bridge-run)
  endif()
  foreach(program ${help2man_programs})
    set(include_file ${PROJECT_SOURCE_DIR}/docs/man/${program}.h2m)
    add_custom_command(OUTPUT ${man_dir}/${program}.1
      COMMAND ${HELP2MAN} --no-info --include=${include_file} --output=${man_dir}/${program}.1
              $<TARGET_FILE:${program}>
      DEPENDS ${program} ${include_file}
      COMMENT "Man page of ${program}")
    list(APPEND man_pages ${man_dir}/${program}.1)
  endforeach()
endif()
add_custom_target(man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
