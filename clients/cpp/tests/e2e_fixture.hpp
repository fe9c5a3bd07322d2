// SPDX-License-Identifier: MIT
// The fixture of the end-to-end tests: a scratch folder that serves as the
// bridges' HOME (its .capi20rc holds only TRACELEVEL 0) and keeps their
// standard error and the emulator's log; bridges started from the native
// build, or the Windows build under Wine; the emulator started with a first
// application ID of the test's own.
#pragma once

#include "capi_bridge/calls.hpp"
#include "capi_bridge/client.hpp"
#include "harness/emulator.hpp"
#include "support.hpp"
#include "toolkit/exchange.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

// The command that starts the bridge under test. With CAPI_BRIDGE_WINDOWS_FOLDER
// set, the Windows build under Wine, "wine FOLDER/capi-bridge.exe" (the folder
// holds the library it loads); otherwise the native bridge.
std::vector<std::string> bridge_command();
// True when the bridge under test is the Windows build under Wine.
bool windows_bridge();
// True for a Windows bridge whose library gives its connection through
// capi20_fileno (our libcapi20-3.dll; the forwarding DLL gives none), so
// that the bridge looks at each frame: CAPI_BRIDGE_WINDOWS_LIBRARY_SOCKET=1.
bool windows_library_gives_socket();

// True when the test runs with a /dev/shm of its own (tests/support/
// private_shm.sh), so that the library's machine-wide table of application
// IDs is the test's alone.
bool private_id_table();
inline constexpr const char* no_private_id_table =
    "this test marks application IDs in the library's machine-wide table, and "
    "the machine allows no /dev/shm of the test's own (a mount namespace as "
    "root or in a user namespace)";

class e2e_test : public testing::Test {
protected:
  void SetUp() override;
  // Stops the emulator (it must exit with status 0), checks that no bridge
  // wrote to standard error, and removes the folder unless the test failed,
  // when the logs are printed instead.
  void TearDown() override;

  // Starts the emulator with --verbose, --exit-after 120, the given first
  // application ID and `arguments`.
  void start_emulator(unsigned first_appl_id, const std::vector<std::string>& arguments = {});
  // Options for a bridge named `name` (its standard error goes to name.stderr).
  capi_bridge::client_options
  bridge_options(const std::string& name,
                 const std::vector<std::string>& command = bridge_command()) const;
  // A bridge named `name`; kept until the test ends.
  capi_bridge::client& bridge(const std::string& name,
                              const std::vector<std::string>& command = bridge_command());
  // A bridge that has opened an application on the emulator.
  capi_bridge::client& opened_bridge(const std::string& name, std::uint16_t max_logical = 2,
                                     const std::vector<std::string>& command = bridge_command());
  // A bridge with a request time-out of 2 s whose application listens on
  // controller 1, once the emulator (started with --inject-after=1) has
  // written the injected bytes behind the LISTEN_CONF and they have arrived.
  capi_bridge::client& listening_after_injection(const std::string& name);

  std::string path(const std::string& name) const { return folder + "/" + name; }
  std::string read(const std::string& name) const;
  // The IDs of this suite's range that the library's machine-wide table
  // marks as in use, as one line.
  std::string library_id_table() const;

  std::string folder;
  harness::local_emulator emulator;
  bool emulator_started = false;
  // Bridges whose standard error may hold something (the library's lines).
  std::vector<std::string> stderr_allowed;

private:
  std::vector<std::pair<std::string, std::unique_ptr<capi_bridge::client>>> bridges_;
};
