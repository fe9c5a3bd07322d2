// SPDX-License-Identifier: MIT
// Calls the libcapi20-3.dll beside it as a Windows program would, against a
// CAPI host on 127.0.0.1:PORT, to check what the bridge's zero time-outs
// cannot: that capi20_waitformessage's time-out record, two 32-bit fields on
// Windows, arrives whole and comes back with the time left. One line per
// check; exit status 1 if any failed.
//   forwarding_check PORT
#include <winsock2.h>

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

typedef void (*set_text_type)(char*);
typedef void (*set_port_type)(int);
typedef unsigned (*isinstalled_type)(void);
typedef unsigned (*register_type)(unsigned, unsigned, unsigned, unsigned*);
typedef unsigned (*release_type)(unsigned);
typedef unsigned (*put_message_type)(unsigned, unsigned char*);
typedef unsigned (*get_message_type)(unsigned, unsigned char**);
typedef unsigned (*waitformessage_type)(unsigned, struct timeval*);

static HMODULE library;
static int failures;

static void (*entry_point(const char* name))(void) {
  return (void (*)(void))GetProcAddress(library, name);
}

static void check(int ok, const char* what) {
  printf("%s: %s\n", ok ? "ok" : "FAILED", what);
  failures += !ok;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s PORT\n", argv[0]);
    return 2;
  }
  // Unbuffered: a check that hangs still shows the ones before it.
  setvbuf(stdout, NULL, _IONBF, 0);
  library = LoadLibraryA("libcapi20-3.dll");
  if (library == NULL) {
    printf("FAILED: libcapi20-3.dll does not load (error %lu)\n", GetLastError());
    return 1;
  }
  set_text_type set_driver = (set_text_type)entry_point("capi20ext_set_driver");
  set_text_type set_host = (set_text_type)entry_point("capi20ext_set_host");
  set_port_type set_port = (set_port_type)entry_point("capi20ext_set_port");
  isinstalled_type isinstalled = (isinstalled_type)entry_point("capi20_isinstalled");
  register_type register_application = (register_type)entry_point("capi20_register");
  release_type release = (release_type)entry_point("capi20_release");
  put_message_type put_message = (put_message_type)entry_point("capi20_put_message");
  get_message_type get_message = (get_message_type)entry_point("capi20_get_message");
  waitformessage_type waitformessage = (waitformessage_type)entry_point("capi20_waitformessage");

  char driver[] = "fritzbox", host[] = "127.0.0.1";
  set_driver(driver);
  set_host(host);
  set_port(atoi(argv[1]));
  unsigned appl_id = 0;
  check(isinstalled() == 0, "capi20_isinstalled");
  check(register_application(1, 7, 2048, &appl_id) == 0 && appl_id != 0, "capi20_register");

  struct timeval wait = {0, 200000};
  ULONGLONG start = GetTickCount64();
  unsigned result = waitformessage(appl_id, &wait);
  ULONGLONG waited = GetTickCount64() - start;
  printf("waited %llu ms for nothing: 0x%04x, left {%ld, %ld}\n", waited, result, wait.tv_sec,
         wait.tv_usec);
  check(result == 0x1104 && waited >= 150 && waited < 2000,
        "a wait of 0.2 s with nothing to receive times out after 0.2 s");
  check(wait.tv_sec == 0 && wait.tv_usec == 0, "and leaves no time");

  // LISTEN_REQ for controller 1, in a buffer as large as the library reads.
  static unsigned char listen[2176] = {26, 0, 0, 0, 0x05, 0x80, 1, 0, 1};
  listen[2] = (unsigned char)appl_id;
  listen[3] = (unsigned char)(appl_id >> 8);
  check(put_message(appl_id, listen) == 0, "capi20_put_message LISTEN_REQ");
  wait.tv_sec = 5;
  wait.tv_usec = 0;
  result = waitformessage(appl_id, &wait);
  printf("waited for LISTEN_CONF: 0x%04x, left {%ld, %ld}\n", result, wait.tv_sec, wait.tv_usec);
  check(result == 0 && wait.tv_sec < 5 && wait.tv_sec * 1000000L + wait.tv_usec > 0,
        "a wait of 5 s ends with the answer and leaves the time not used");
  unsigned char* received = NULL;
  check(get_message(appl_id, &received) == 0 && received != NULL && received[4] == 0x05 &&
            received[5] == 0x81,
        "capi20_get_message LISTEN_CONF");
  check(release(appl_id) == 0, "capi20_release");
  return failures == 0 ? 0 : 1;
}
