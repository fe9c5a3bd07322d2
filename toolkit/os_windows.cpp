// SPDX-License-Identifier: MIT
// The toolkit's OS functions on Windows.
#include "toolkit/os.hpp"

#include <windows.h>

#include <io.h>
#include <random>
#include <vector>

namespace toolkit {

const char executable_suffix[] = ".exe";
const bool emulator_runs_here = false;

const char libcapi20_missing_hint[] = "is libcapi20-3.dll beside capi-bridge.exe?";

std::filesystem::path program_folder() {
  std::vector<wchar_t> name(MAX_PATH);
  for (;;) {
    DWORD size = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
    if (size == 0)
      return std::filesystem::current_path();
    if (size < name.size())
      return std::filesystem::path(std::wstring(name.data(), size)).parent_path();
    name.resize(name.size() * 2);
  }
}

// The temporary folder is the user's own on Windows; a name nobody can
// guess keeps two runs apart.
std::filesystem::path make_temporary_folder(const std::string& prefix, std::string& error) {
  std::error_code code;
  std::filesystem::path parent = std::filesystem::temp_directory_path(code);
  if (code) {
    error = "no temporary folder: " + code.message();
    return {};
  }
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char ending[16];
    std::snprintf(ending, sizeof ending, "%08x", static_cast<unsigned>(random()));
    std::filesystem::path folder = parent / (prefix + ending);
    if (CreateDirectoryW(folder.c_str(), nullptr))
      return folder;
    DWORD failure = GetLastError();
    if (failure != ERROR_ALREADY_EXISTS) {
      error = "cannot make a folder " + folder.string() + " (Windows error " +
              std::to_string(failure) + ")";
      return {};
    }
  }
  error = "cannot make a folder in " + parent.string() + ": every name taken";
  return {};
}

bool is_terminal(std::FILE* stream) {
  return _isatty(_fileno(stream)) != 0;
}

void set_environment(const std::string& name, const char* value) {
  SetEnvironmentVariableA(name.c_str(), value);
}

} // namespace toolkit
