// SPDX-License-Identifier: MIT
// Scratch folders, bridges and the emulator for the end-to-end tests.
#include "e2e_fixture.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using namespace capi_bridge;

std::vector<std::string> bridge_command() {
  const char* folder = std::getenv("CAPI_BRIDGE_WINDOWS_FOLDER");
  if (folder != nullptr && *folder != '\0')
    return {"wine", std::string(folder) + "/capi-bridge.exe"};
  return {bridge_executable()};
}

bool windows_bridge() {
  return bridge_command().front() == "wine";
}

bool windows_library_gives_socket() {
  const char* socket = std::getenv("CAPI_BRIDGE_WINDOWS_LIBRARY_SOCKET");
  return windows_bridge() && socket != nullptr && std::string(socket) == "1";
}

bool private_id_table() {
  const char* shm = std::getenv("CAPI_BRIDGE_SHM");
  return shm != nullptr && std::string(shm) == "private";
}

void e2e_test::SetUp() {
  std::string pattern = (fs::temp_directory_path() / "capi-client-e2e-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  folder = pattern;
  std::ofstream(path(".capi20rc")) << "TRACELEVEL 0\n";
  if (windows_bridge() && !private_id_table())
    GTEST_SKIP() << "the Windows run takes the same application IDs as the native run, which "
                    "may run at the same time: it needs a /dev/shm of its own";
}

void e2e_test::TearDown() {
  // Read before the bridges release their applications.
  std::string ids_in_use = HasFailure() ? library_id_table() : "";
  // Bridges end first: their releases must reach the emulator.
  bridges_.clear();
  if (emulator_started) {
    auto ended = emulator.stop();
    EXPECT_TRUE(ended && ended->exited && ended->code == 0) << "the emulator did not stop cleanly";
  }
  for (const auto& entry : fs::directory_iterator(folder)) {
    std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".stderr" ||
        std::find(stderr_allowed.begin(), stderr_allowed.end(), entry.path().stem().string()) !=
            stderr_allowed.end())
      continue;
    EXPECT_EQ(read(name), "") << "bridge " << entry.path().stem() << " wrote to standard error";
  }
  if (HasFailure()) {
    std::cerr << ids_in_use;
    for (const auto& entry : fs::directory_iterator(folder))
      if (entry.is_regular_file() && entry.path().filename() != ".capi20rc")
        std::cerr << "---- " << entry.path().filename() << "\n"
                  << read(entry.path().filename().string()) << "\n";
    std::cerr << "(kept in " << folder << ")\n";
    return;
  }
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

void e2e_test::start_emulator(unsigned first_appl_id, const std::vector<std::string>& arguments) {
  std::vector<std::string> all = {"--verbose", "--exit-after", "120", "--first-appl-id",
                                  std::to_string(first_appl_id)};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::string error;
  ASSERT_TRUE(emulator.start(CAPI_HOST_EMULATOR, all, path("emulator.log"), error)) << error;
  emulator_started = true;
}

client_options e2e_test::bridge_options(const std::string& name,
                                        const std::vector<std::string>& command) const {
  client_options options;
  options.command = command;
  options.environment = {{"HOME", folder}};
  options.stderr_path = path(name + ".stderr");
  return options;
}

client& e2e_test::bridge(const std::string& name, const std::vector<std::string>& command) {
  bridges_.emplace_back(name, std::make_unique<client>(bridge_options(name, command)));
  return *bridges_.back().second;
}

client& e2e_test::opened_bridge(const std::string& name, std::uint16_t max_logical,
                                const std::vector<std::string>& command) {
  client& c = bridge(name, command);
  open_result opened = c.open("127.0.0.1", emulator.port(), max_logical);
  if (!opened.status.ok() || opened.stage != open_stage::registered)
    throw call_error(name + ": Open: " + opened.status.text());
  return c;
}

client& e2e_test::listening_after_injection(const std::string& name) {
  client_options options = bridge_options(name);
  options.request_timeout = std::chrono::milliseconds(2000);
  bridges_.emplace_back(name, std::make_unique<client>(options));
  client& c = *bridges_.back().second;
  open_result opened = c.open("127.0.0.1", emulator.port(), 2);
  if (!opened.status.ok())
    throw call_error(name + ": Open: " + opened.status.text());
  listen(c, 1, cip_mask_unrestricted_digital);
  if (!emulator.wait_for_log("injected"))
    throw call_error("the emulator injected nothing");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return c;
}

// The library keeps its application IDs in a table in shared memory that
// every process on the machine uses; whether the test's IDs were still
// marked there tells a failure of the host from a table emptied meanwhile.
std::string e2e_test::library_id_table() const {
  auto ids = ids_in_use();
  if (!ids)
    return "(no application ID table)\n";
  std::string out = "IDs 100..299 in use in the library's table:";
  for (unsigned id : *ids)
    if (id >= 100 && id < 300) {
      out += ' ';
      out += std::to_string(id);
    }
  return out + "\n";
}

std::string e2e_test::read(const std::string& name) const {
  std::ifstream in(path(name), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}
