// SPDX-License-Identifier: MIT
// A Windows parent for the tests under Wine: starts PROGRAM as a Windows
// client would, with HOME set in its environment and its standard error
// appended to a file, hands over its own standard input and output, and ends
// with PROGRAM's exit status.
//   windows_parent HOME STDERR_FILE PROGRAM      (Windows paths)
#include <windows.h>

#include <stdio.h>

static HANDLE inheritable(HANDLE handle) {
  SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  return handle;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s HOME STDERR_FILE PROGRAM\n", argv[0]);
    return 2;
  }
  SetEnvironmentVariableA("HOME", argv[1]);
  // For appending only, as the client library opens it: no plain write access.
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
  HANDLE error_file = CreateFileA(argv[2], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inherited, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (error_file == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "cannot open %s (error %lu)\n", argv[2], GetLastError());
    return 2;
  }
  STARTUPINFOA startup = {0};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inheritable(GetStdHandle(STD_INPUT_HANDLE));
  startup.hStdOutput = inheritable(GetStdHandle(STD_OUTPUT_HANDLE));
  startup.hStdError = error_file;
  char command_line[MAX_PATH + 3];
  snprintf(command_line, sizeof command_line, "\"%s\"", argv[3]);
  PROCESS_INFORMATION child;
  if (!CreateProcessA(NULL, command_line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &child)) {
    fprintf(stderr, "cannot start %s (error %lu)\n", argv[3], GetLastError());
    return 2;
  }
  // The child alone holds the streams now: its output ends when it does.
  CloseHandle(startup.hStdInput);
  CloseHandle(startup.hStdOutput);
  CloseHandle(error_file);
  CloseHandle(child.hThread);
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(child.hProcess, &code);
  return (int)code;
}
