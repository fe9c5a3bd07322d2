# What `cmake --install` lays out and CPack packs, version from project():
# on Linux a Debian package with the bridge, the emulated host, the demo and
# the C++ client library; on Windows a zip with the bridge, the demo (which
# probes a CAPI host there) and a read-me.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME capi-bridge)
set(CPACK_PACKAGE_VENDOR "capi-bridge")
set(CPACK_PACKAGE_CONTACT "capi-bridge maintainers <maintainers@capi-bridge.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "CAPI 2.0 on a remote CAPI host for any program, through a child process")
set(CPACK_PACKAGE_DESCRIPTION_FILE ${CMAKE_CURRENT_LIST_DIR}/description.txt)

if(WIN32)
  install(TARGETS capi-bridge capi-bridge-demo RUNTIME DESTINATION .)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/README-windows.txt DESTINATION . RENAME README.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  install(TARGETS capi-bridge capi-host-emulator capi-bridge-demo
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/protocol.md
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/capi-bridge)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION comm)
  # The bridge loads libcapi20 at run time, so no linker sees it.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcapi20-3")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
