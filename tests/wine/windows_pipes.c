// SPDX-License-Identifier: MIT
// Starts PROGRAM with Windows pipes on its standard input and output and
// relays this process's own standard input and output to them, so that a
// program started from Linux under Wine gets the pipes a Windows client
// would give it: Wine cannot look into the Unix pipes a Linux parent hands
// over (PeekNamedPipe fails on them), and the waiting Get looks into its
// input. Standard error is handed over as it is. Ends with PROGRAM's exit
// status once its output has been passed on.
//   windows_pipes PROGRAM      (a Windows path)
#include <windows.h>

#include <stdio.h>

static HANDLE child_input; // our end of PROGRAM's standard input

// Copies `from` to `to` until `from` ends or `to` fails.
static void relay(HANDLE from, HANDLE to) {
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(from, buffer, sizeof buffer, &got, NULL) && got > 0) {
    DWORD done = 0;
    while (done < got) {
      DWORD wrote = 0;
      if (!WriteFile(to, buffer + done, got - done, &wrote, NULL))
        return;
      done += wrote;
    }
  }
}

static DWORD WINAPI relay_input(LPVOID unused) {
  (void)unused;
  relay(GetStdHandle(STD_INPUT_HANDLE), child_input);
  // PROGRAM sees the end of its input when ours ends.
  CloseHandle(child_input);
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s PROGRAM\n", argv[0]);
    return 2;
  }
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
  HANDLE program_input, program_output, output;
  if (!CreatePipe(&program_input, &child_input, &inherit, 0) ||
      !CreatePipe(&output, &program_output, &inherit, 0)) {
    fprintf(stderr, "CreatePipe failed: %lu\n", GetLastError());
    return 1;
  }
  SetHandleInformation(child_input, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(output, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOA startup = {0};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = program_input;
  startup.hStdOutput = program_output;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  SetHandleInformation(startup.hStdError, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  char command[MAX_PATH + 3];
  snprintf(command, sizeof command, "\"%s\"", argv[1]);
  PROCESS_INFORMATION process;
  if (!CreateProcessA(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
    fprintf(stderr, "cannot start %s: %lu\n", argv[1], GetLastError());
    return 1;
  }
  CloseHandle(process.hThread);
  CloseHandle(program_input);
  CloseHandle(program_output);

  CreateThread(NULL, 0, relay_input, NULL, 0, NULL);
  relay(output, GetStdHandle(STD_OUTPUT_HANDLE));
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 1;
  GetExitCodeProcess(process.hProcess, &status);
  return (int)status;
}
