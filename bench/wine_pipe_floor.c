// SPDX-License-Identifier: MIT
// What a pipe between two Windows processes costs where this runs (under
// Wine, the floor under every call through capi2064.dll): the round trip of
// one byte to a child that sends it back, and a write of one byte to a child
// that only reads. Prints both in microseconds.
//   wine_pipe_floor.exe [COUNT]
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// The child: echoes each byte, or with "sink" only reads, until its input
// ends; then writes one byte.
static int child(int echo) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE), out = GetStdHandle(STD_OUTPUT_HANDLE);
  char c = 0;
  DWORD n = 0;
  while (ReadFile(in, &c, 1, &n, NULL) && n == 1)
    if (echo)
      WriteFile(out, &c, 1, &n, NULL);
  WriteFile(out, &c, 1, &n, NULL);
  return 0;
}

static double now_us(void) {
  static LARGE_INTEGER frequency;
  LARGE_INTEGER count;
  if (frequency.QuadPart == 0)
    QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&count);
  return (double)count.QuadPart * 1e6 / (double)frequency.QuadPart;
}

// Microseconds per byte through a child started with `mode`.
static double measure(const char* self, const char* mode, int count) {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, NULL, TRUE};
  HANDLE child_in, our_in, our_out, child_out;
  if (!CreatePipe(&child_in, &our_in, &inheritable, 0) ||
      !CreatePipe(&our_out, &child_out, &inheritable, 0))
    exit(1);
  SetHandleInformation(our_in, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(our_out, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = child_in;
  startup.hStdOutput = child_out;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info;
  char command[MAX_PATH + 16];
  snprintf(command, sizeof command, "\"%s\" %s", self, mode);
  if (!CreateProcessA(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &info))
    exit(1);
  CloseHandle(child_in);
  CloseHandle(child_out);
  int echo = strcmp(mode, "echo") == 0;
  char c = 'x';
  DWORD n = 0;
  // One untimed round: the child is up.
  WriteFile(our_in, &c, 1, &n, NULL);
  if (echo)
    ReadFile(our_out, &c, 1, &n, NULL);
  double start = now_us();
  for (int i = 0; i < count; ++i) {
    WriteFile(our_in, &c, 1, &n, NULL);
    if (echo)
      ReadFile(our_out, &c, 1, &n, NULL);
  }
  CloseHandle(our_in);
  // The sink has read everything once it answers the end of its input.
  ReadFile(our_out, &c, 1, &n, NULL);
  double taken = now_us() - start;
  WaitForSingleObject(info.hProcess, INFINITE);
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  CloseHandle(our_out);
  return taken / count;
}

int main(int argc, char** argv) {
  if (argc == 2 && (strcmp(argv[1], "echo") == 0 || strcmp(argv[1], "sink") == 0))
    return child(strcmp(argv[1], "echo") == 0);
  int count = argc > 1 ? atoi(argv[1]) : 5000;
  if (count <= 0)
    count = 5000;
  char self[MAX_PATH];
  GetModuleFileNameA(NULL, self, sizeof self);
  printf("pipe round trip %.1f us, pipe write %.1f us\n", measure(self, "echo", count),
         measure(self, "sink", count));
  return 0;
}
