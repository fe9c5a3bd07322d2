// SPDX-License-Identifier: MIT
// The fixture of the black-box tests: a scratch folder with the stand-in
// library's script and log, and the bridge started against one variant of it.
//
// Which bridge runs comes from the environment, so that one suite serves both
// builds: CAPI_BRIDGE_EXECUTABLE (default: the Linux build next to the tests),
// CAPI_BRIDGE_FAKE_CAPI (the folder holding one folder per stand-in variant)
// and CAPI_BRIDGE_WINDOWS=1 for a Windows build started through Wine. With
// CAPI_BRIDGE_SHORT_IO=1 every bridge runs with tests/support/short_io.c
// preloaded, its SHORT_IO_* settings taken from the test's environment; a
// test that cannot preload (see can_preload_allocator) is then skipped.
#pragma once

#include "support/bridge_process.hpp"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

// True when the bridge under test is the Windows build.
bool testing_windows_build();

// True when an allocator can be preloaded into the bridge: not through Wine,
// and not into a sanitized build, which brings its own.
bool can_preload_allocator();

class bridge_test : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // Writes the stand-in library's script.
  void script(const std::string& text);
  // Starts the bridge against the stand-in variant `variant` ("full",
  // "without_<entry point>", "unloadable" or "absent"), with extra environment.
  std::unique_ptr<bridge_process> start(const std::string& variant = "full",
                                        std::map<std::string, std::string> environment = {});
  // The stand-in library's log, one entry per call, without the load line.
  std::vector<std::string> calls() const;
  // Only the calls whose line starts with `prefix`.
  std::vector<std::string> calls(const std::string& prefix) const;
  std::string stderr_text() const;
  std::string path(const std::string& name) const { return folder + "/" + name; }

  std::string folder;
  // Set by a test that expects the bridge to have written to standard error.
  bool stderr_may_be_written = false;
  // Set by a test that needs the Windows build to get the pipes a Windows
  // client would give it (tests/wine/windows_pipes.c); Wine cannot look
  // into the Unix pipes the tests have.
  bool windows_pipes = false;
};

// Reads the reply to one request and checks it, bytes and all.
::testing::AssertionResult replies(bridge_process& bridge, std::uint32_t info,
                                   const bytes& body = {});
