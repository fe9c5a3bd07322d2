// SPDX-License-Identifier: MIT
// libcapi20-3.dll for the tests under Wine: a Wine builtin (ELF) DLL whose
// ten entry points take calls with the Windows convention and forward them to
// Debian's libcapi20.so.3, so that the Windows bridge runs the real library.
#include <windef.h>
// After windef.h, which it builds on.
#include <winbase.h>

#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

// Exported by Wine's ntdll for Winelib code, but in no installed header.
// The descriptor it gives is a new one, the caller's to close.
extern LONG CDECL wine_server_handle_to_fd(HANDLE handle, unsigned int access, int* unix_fd,
                                           unsigned int* options);

// The exports' calling convention, as the spec file's `cdecl` declares for
// 64-bit Windows; everything else here, the library included, is System V.
#define WINDOWS_CALL __attribute__((ms_abi))

// struct timeval as Windows Sockets declares it: two 32-bit longs.
struct windows_timeval {
  int32_t tv_sec;
  int32_t tv_usec;
};

static struct {
  unsigned (*isinstalled)(void);
  void (*set_driver)(char* driver);
  void (*set_host)(char* host);
  void (*set_port)(int port);
  unsigned (*register_application)(unsigned max_logical_connections, unsigned max_b_data_blocks,
                                   unsigned max_b_data_length, unsigned* appl_id);
  unsigned (*release)(unsigned appl_id);
  unsigned (*put_message)(unsigned appl_id, unsigned char* message);
  unsigned (*get_message)(unsigned appl_id, unsigned char** message);
  unsigned (*waitformessage)(unsigned appl_id, struct timeval* timeout);
  unsigned (*get_profile)(unsigned controller, unsigned char* profile);
} real;

// A process that Wine starts for a Windows parent inherits the Unix
// environment of the first Wine process, not the HOME its parent gave it;
// the library reads $HOME/.capi20rc, so the Windows-side value must win.
static void take_windows_home(void) {
  DWORD size = GetEnvironmentVariableW(L"HOME", NULL, 0);
  if (size == 0)
    return; // Started from Linux: Wine keeps the Unix HOME for itself.
  WCHAR* windows_path = HeapAlloc(GetProcessHeap(), 0, size * sizeof(WCHAR));
  char* unix_path = NULL;
  if (windows_path != NULL && GetEnvironmentVariableW(L"HOME", windows_path, size) == size - 1)
    unix_path = wine_get_unix_file_name(windows_path);
  if (unix_path != NULL)
    setenv("HOME", unix_path, 1);
  else
    unsetenv("HOME"); // No .capi20rc rather than another program's.
  HeapFree(GetProcessHeap(), 0, unix_path);
  HeapFree(GetProcessHeap(), 0, windows_path);
}

// Nor is Unix descriptor 2 the standard error handle a Windows parent gave,
// and the library writes its debug lines there. Access 0: a handle opened
// for appending alone would be refused a descriptor for writing.
static void take_windows_stderr(void) {
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  int fd = -1;
  if (handle == NULL || handle == INVALID_HANDLE_VALUE ||
      wine_server_handle_to_fd(handle, 0, &fd, NULL) != 0)
    return;
  if (fd != STDERR_FILENO) {
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
}

static int resolve(void* library, void* slot, const char* name) {
  void* found = dlsym(library, name);
  memcpy(slot, &found, sizeof found);
  if (found == NULL)
    fprintf(stderr, "forwarding libcapi20-3.dll: %s missing in libcapi20.so.3\n", name);
  return found != NULL;
}

// Loading fails, as a missing library would, when the real one cannot be
// loaded whole; the reason goes to standard error.
static BOOL load_real_library(void) {
  // Before the library's constructor runs and takes descriptors.
  take_windows_home();
  take_windows_stderr();
  void* library = dlopen("libcapi20.so.3", RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "forwarding libcapi20-3.dll: %s\n", dlerror());
    return FALSE;
  }
  int complete = resolve(library, &real.isinstalled, "capi20_isinstalled");
  complete &= resolve(library, &real.set_driver, "capi20ext_set_driver");
  complete &= resolve(library, &real.set_host, "capi20ext_set_host");
  complete &= resolve(library, &real.set_port, "capi20ext_set_port");
  complete &= resolve(library, &real.register_application, "capi20_register");
  complete &= resolve(library, &real.release, "capi20_release");
  complete &= resolve(library, &real.put_message, "capi20_put_message");
  complete &= resolve(library, &real.get_message, "capi20_get_message");
  complete &= resolve(library, &real.waitformessage, "capi20_waitformessage");
  complete &= resolve(library, &real.get_profile, "capi20_get_profile");
  return complete ? TRUE : FALSE;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  return reason == DLL_PROCESS_ATTACH ? load_real_library() : TRUE;
}

WINDOWS_CALL unsigned capi20_isinstalled(void) {
  return real.isinstalled();
}

WINDOWS_CALL void capi20ext_set_driver(char* driver) {
  real.set_driver(driver);
}

WINDOWS_CALL void capi20ext_set_host(char* host) {
  real.set_host(host);
}

WINDOWS_CALL void capi20ext_set_port(int port) {
  real.set_port(port);
}

WINDOWS_CALL unsigned capi20_register(unsigned max_logical_connections, unsigned max_b_data_blocks,
                                      unsigned max_b_data_length, unsigned* appl_id) {
  return real.register_application(max_logical_connections, max_b_data_blocks, max_b_data_length,
                                   appl_id);
}

WINDOWS_CALL unsigned capi20_release(unsigned appl_id) {
  return real.release(appl_id);
}

WINDOWS_CALL unsigned capi20_put_message(unsigned appl_id, unsigned char* message) {
  return real.put_message(appl_id, message);
}

WINDOWS_CALL unsigned capi20_get_message(unsigned appl_id, unsigned char** message) {
  return real.get_message(appl_id, message);
}

// Linux's select writes the time left back, and so the library does.
WINDOWS_CALL unsigned capi20_waitformessage(unsigned appl_id, struct windows_timeval* timeout) {
  if (timeout == NULL)
    return real.waitformessage(appl_id, NULL);
  struct timeval unix_timeout = {timeout->tv_sec, timeout->tv_usec};
  unsigned result = real.waitformessage(appl_id, &unix_timeout);
  timeout->tv_sec = (int32_t)unix_timeout.tv_sec;
  timeout->tv_usec = (int32_t)unix_timeout.tv_usec;
  return result;
}

WINDOWS_CALL unsigned capi20_get_profile(unsigned controller, unsigned char* profile) {
  return real.get_profile(controller, profile);
}
