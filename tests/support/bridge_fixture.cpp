// SPDX-License-Identifier: MIT
// Scratch folders, the stand-in library's variants, and starting the bridge
// natively or through Wine.
#include "support/bridge_fixture.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string setting(const char* name, const std::string& otherwise) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : otherwise;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool short_io_requested() {
  return setting("CAPI_BRIDGE_SHORT_IO", "0") == "1";
}

} // namespace

bool testing_windows_build() {
  return setting("CAPI_BRIDGE_WINDOWS", "0") == "1";
}

bool can_preload_allocator() {
#ifdef CAPI_BRIDGE_SANITIZED
  return false;
#else
  return !testing_windows_build();
#endif
}

void bridge_test::SetUp() {
  char name[] = "/tmp/capi-bridge-test-XXXXXX";
  ASSERT_NE(mkdtemp(name), nullptr);
  folder = name;
  if (short_io_requested() && !can_preload_allocator())
    GTEST_SKIP() << "short reads and writes are injected with an LD_PRELOAD library, which "
                    "neither Wine nor a sanitizer's own allocator admits";
}

void bridge_test::TearDown() {
  if (!stderr_may_be_written) {
    EXPECT_EQ(stderr_text(), "") << "the bridge wrote to standard error";
  }
  std::error_code ignored;
  if (!HasFailure())
    fs::remove_all(folder, ignored);
}

void bridge_test::script(const std::string& text) {
  std::ofstream(path("script"), std::ios::binary) << text;
}

std::unique_ptr<bridge_process> bridge_test::start(const std::string& variant,
                                                   std::map<std::string, std::string> environment) {
  std::string executable = setting("CAPI_BRIDGE_EXECUTABLE", BRIDGE_EXECUTABLE);
  std::string library_folder = setting("CAPI_BRIDGE_FAKE_CAPI", FAKE_CAPI_ROOT) + "/" + variant;
  environment.try_emplace("FAKE_CAPI_SCRIPT", path("script"));
  environment.try_emplace("FAKE_CAPI_LOG", path("log"));
  std::vector<std::string> argv;
  if (testing_windows_build()) {
    // The library is found beside the executable; a link would not do.
    std::string bin = path("bin-" + variant);
    fs::create_directories(bin);
    fs::copy_file(executable, bin + "/capi-bridge.exe", fs::copy_options::overwrite_existing);
    for (const auto& entry : fs::directory_iterator(library_folder))
      fs::copy_file(entry.path(), bin + "/" + entry.path().filename().string(),
                    fs::copy_options::overwrite_existing);
    argv = {"wine", bin + "/capi-bridge.exe"};
    if (windows_pipes) {
      fs::copy_file(setting("CAPI_BRIDGE_WINDOWS_PIPES", ""), bin + "/windows_pipes.exe",
                    fs::copy_options::overwrite_existing);
      std::string windows_path = "Z:" + bin + "/capi-bridge.exe";
      std::replace(windows_path.begin(), windows_path.end(), '/', '\\');
      argv = {"wine", bin + "/windows_pipes.exe", windows_path};
    }
  } else {
    environment["LD_LIBRARY_PATH"] = library_folder;
    if (short_io_requested()) {
      std::string& preload = environment["LD_PRELOAD"];
      preload = preload.empty() ? SHORT_IO_LIBRARY : preload + ":" + SHORT_IO_LIBRARY;
    }
    argv = {executable};
  }
  return std::make_unique<bridge_process>(argv, environment, path("stderr"));
}

std::vector<std::string> bridge_test::calls() const {
  return calls("");
}

std::vector<std::string> bridge_test::calls(const std::string& prefix) const {
  std::istringstream log(read_file(path("log")));
  std::vector<std::string> logged;
  for (std::string line; std::getline(log, line);)
    if (line != "fake libcapi20 loaded" && line.starts_with(prefix))
      logged.push_back(line);
  return logged;
}

std::string bridge_test::stderr_text() const {
  return read_file(path("stderr"));
}

::testing::AssertionResult replies(bridge_process& bridge, std::uint32_t info, const bytes& body) {
  auto got = bridge.read_reply();
  if (!got)
    return ::testing::AssertionFailure() << "no reply";
  if (got->length != 4 + body.size() || got->info != info || got->body != body)
    return ::testing::AssertionFailure()
           << "reply length " << got->length << " info 0x" << std::hex << got->info << " body "
           << to_hex(got->body) << ", expected length " << std::dec << 4 + body.size() << " info 0x"
           << std::hex << info << " body " << to_hex(body);
  return ::testing::AssertionSuccess();
}
