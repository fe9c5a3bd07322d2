// SPDX-License-Identifier: MIT
// Test main: a private $HOME holding a .capi20rc that only silences the
// library (so no other configuration file is read), and SIGPIPE ignored, as
// the library writes to sockets without MSG_NOSIGNAL.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  std::signal(SIGPIPE, SIG_IGN);
  std::string pattern =
      (std::filesystem::temp_directory_path() / "capi-emulator-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    return 1;
  }
  const std::filesystem::path home = pattern;
  std::ofstream(home / ".capi20rc") << "TRACELEVEL 0\n";
  ::setenv("HOME", home.c_str(), 1);
  const int result = RUN_ALL_TESTS();
  std::filesystem::remove_all(home);
  return result;
}
