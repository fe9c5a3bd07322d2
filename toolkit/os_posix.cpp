// SPDX-License-Identifier: MIT
// The toolkit's OS functions on POSIX systems (Linux in practice).
#include "toolkit/os.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace toolkit {

const char executable_suffix[] = "";
const bool emulator_runs_here = true;

const char libcapi20_missing_hint[] = "is the package libcapi20-3 installed?";

std::filesystem::path program_folder() {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::current_path() : self.parent_path();
}

std::filesystem::path make_temporary_folder(const std::string& prefix, std::string& error) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    error = "cannot make a folder " + pattern + ": " + std::strerror(errno);
    return {};
  }
  return pattern;
}

bool is_terminal(std::FILE* stream) {
  return ::isatty(::fileno(stream)) == 1;
}

void set_environment(const std::string& name, const char* value) {
  if (value != nullptr)
    ::setenv(name.c_str(), value, 1);
  else
    ::unsetenv(name.c_str());
}

} // namespace toolkit
