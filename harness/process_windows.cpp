// SPDX-License-Identifier: MIT
// The harness's process functions on Windows.
#include "harness/process.hpp"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

namespace harness {

void binary_mode(std::FILE* stream) {
  _setmode(_fileno(stream), _O_BINARY);
}

bool process_exists(long id) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
  if (process == nullptr)
    return false;
  DWORD code = 0;
  bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
  CloseHandle(process);
  return running;
}

} // namespace harness
