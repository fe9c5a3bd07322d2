// SPDX-License-Identifier: MIT
// An ordinary Windows CAPI 2.0 program: it loads a CAPI interface DLL by
// name and calls its standard entry points, building its messages itself.
// Two applications in one process, A and B, on controller 1:
//
//   capi2032_call DLL call BYTES
//     the interface's identity and profile; A calls B, both send BYTES in
//     blocks of 2048 (7 unconfirmed at most) and check what they receive by
//     digest; A hangs up; both release.
//   capi2032_call DLL answer BYTES    and    capi2032_call DLL dial BYTES
//     the same with B alone in one process (it says "listening" once it
//     listens) and A alone in another; each waits in CAPI_WAIT_FOR_SIGNAL.
//     Both say how long the data took.
//   capi2032_call DLL small-receiver BYTES
//     as "call", but only A sends, and B registers 3 blocks of 128 bytes
//     and holds each until nothing more waits: "B got BYTES bytes in blocks
//     of at most N, digest ok"; fails when B is handed a fourth block it
//     has not answered.
//   capi2032_call DLL redial BYTES FILE
//     as "call", then "first call done"; looks for messages of both (as the
//     host goes and comes back) until FILE exists, and calls again as a
//     program does after a failed call: again after 0x1108 or a call
//     cleared before it connected. "second call after N ms" (from FILE),
//     then as "call" with 65536 bytes.
//   capi2032_call DLL redial-once BYTES FILE
//     as "redial", but the first CONNECT_REQ after FILE that is refused
//     ends the program: "capi2032_call: A: CONNECT_REQ: info 0x....".
//   capi2032_call DLL lose-call FILE
//     A calls B, both send without end; "data flowing" once B has data, then
//     goes on until both have had DISCONNECT_B3_IND and DISCONNECT_IND:
//     "A: lost call, reason 0x3301", the same for B; then as "redial" from
//     the wait for FILE on.
//
// One line per step on standard output; exit status 0 when every step went
// right. In a 32-bit build DATA_B3 messages carry their data pointer in the
// 32-bit Data field, in a 64-bit build in Data64.
#include <windows.h>

#include "call_data.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef DWORD(WINAPI* register_entry)(DWORD, DWORD, DWORD, DWORD, DWORD*);
typedef DWORD(WINAPI* release_entry)(DWORD);
typedef DWORD(WINAPI* put_entry)(DWORD, PVOID);
typedef DWORD(WINAPI* get_entry)(DWORD, PVOID*);
typedef DWORD(WINAPI* wait_entry)(DWORD);
typedef DWORD(WINAPI* text_entry)(char*);
typedef DWORD(WINAPI* version_entry)(DWORD*, DWORD*, DWORD*, DWORD*);
typedef DWORD(WINAPI* profile_entry)(PVOID, DWORD);
typedef DWORD(WINAPI* installed_entry)(void);

static register_entry capi_register;
static release_entry capi_release;
static put_entry capi_put;
static get_entry capi_get;
static wait_entry capi_wait;
static text_entry capi_manufacturer, capi_serial;
static version_entry capi_version;
static profile_entry capi_profile;
static installed_entry capi_installed;

enum { block_size = 2048, window = 7 };
enum { c_listen = 0x05, c_connect = 0x02, c_connect_active = 0x03, c_connect_b3 = 0x82 };
enum { c_connect_b3_active = 0x83, c_data_b3 = 0x86, c_disconnect_b3 = 0x84, c_disconnect = 0x04 };
enum { s_req = 0x80, s_conf = 0x81, s_ind = 0x82, s_resp = 0x83 };

struct application {
  const char* name;
  DWORD id;
  uint32_t plci, ncci;
  int listening, connected, b3_up, b3_down, cleared;
  unsigned reason;
  unsigned long long sent, received;
  unsigned in_flight;
  uint64_t digest;
  uint16_t next_handle;
};

static struct application a = {.name = "A"}, b = {.name = "B"};
// The applications of this process.
static struct application* local[2];
static int locals;
static unsigned long long total;
// small-receiver: B registers 3 blocks of 128 bytes and holds what it gets
// until nothing more waits; its largest block.
enum { small_blocks = 3, small_block_size = 128 };
static int small_receiver;
static struct {
  uint16_t handle;
  uint32_t ncci;
} held[small_blocks];
static unsigned held_count, largest_block;
// lose-call: the line may go at any time; refused blocks and puts end the
// sending instead of the program.
static int line_may_go, line_lost;
static int redial_once;
static uint16_t number = 1;

static void fail(const char* what) {
  printf("capi2032_call: %s\n", what);
  fflush(stdout);
  exit(1);
}

static uint16_t u16(const unsigned char* at) {
  return (uint16_t)(at[0] | at[1] << 8);
}
static uint32_t u32(const unsigned char* at) {
  return (uint32_t)u16(at) | (uint32_t)u16(at + 2) << 16;
}
static void set16(unsigned char* at, unsigned value) {
  at[0] = (unsigned char)value;
  at[1] = (unsigned char)(value >> 8);
}
static void set32(unsigned char* at, uint32_t value) {
  set16(at, value & 0xFFFF);
  set16(at + 2, value >> 16);
}

// A message of `length` bytes: the header, the address, then zeros (every
// struct empty) for the caller to fill in. Room behind it for what an
// interface may write there.
static unsigned char message[64 + 4096];

static unsigned char* start(struct application* app, unsigned length, unsigned command,
                            unsigned subcommand, uint32_t address) {
  memset(message, 0, 64);
  set16(message, length);
  set16(message + 2, app->id);
  message[4] = (unsigned char)command;
  message[5] = (unsigned char)subcommand;
  set16(message + 6, number++);
  set32(message + 8, address);
  return message;
}

static void refused(struct application* app, const char* what, DWORD info) {
  printf("capi2032_call: %s: %s: info 0x%04lx\n", app->name, what, (unsigned long)info);
  fflush(stdout);
  exit(1);
}

static void send_message(struct application* app, const char* what) {
  DWORD info = capi_put(app->id, message);
  if (info != 0)
    refused(app, what, info);
}

static void answer(struct application* app, unsigned command, uint32_t address, uint16_t in_reply) {
  start(app, 12, command, s_resp, address);
  set16(message + 6, in_reply);
  send_message(app, "response");
}

static void send_block(struct application* app) {
  static unsigned char data[block_size];
  unsigned long long left = total - app->sent;
  unsigned count = left < block_size ? (unsigned)left : block_size;
  for (unsigned i = 0; i < count; ++i)
    data[i] = sent_byte(app == &a, app->sent + i);
  start(app, sizeof(void*) == 8 ? 30 : 22, c_data_b3, s_req, app->ncci);
  set16(message + 16, count);
  set16(message + 18, app->next_handle);
  app->next_handle = (uint16_t)((app->next_handle + 1) % 64);
  uintptr_t address = (uintptr_t)data;
  if (sizeof(void*) == 8)
    memcpy(message + 22, &address, 8);
  else
    set32(message + 12, (uint32_t)address);
  DWORD info = capi_put(app->id, message);
  if (info == 0x1108 && line_may_go) {
    line_lost = 1;
    return;
  }
  if (info != 0)
    refused(app, "DATA_B3_REQ", info);
  app->sent += count;
  ++app->in_flight;
}

static void handle(struct application* app, const unsigned char* m) {
  unsigned command = m[4], subcommand = m[5];
  uint16_t in_reply = u16(m + 6);
  uint32_t address = u32(m + 8);
  if (subcommand == s_conf && command != c_data_b3 && u16(m + 12) != 0) {
    printf("capi2032_call: %s: confirmation 0x%02x with info 0x%04x\n", app->name, command,
           u16(m + 12));
    fflush(stdout);
    exit(1);
  }
  if (command == c_listen && subcommand == s_conf) {
    app->listening = 1;
  } else if (command == c_connect && subcommand == s_conf) {
    app->plci = address;
  } else if (command == c_connect && subcommand == s_ind) {
    app->plci = address;
    start(app, 19, c_connect, s_resp, address);
    set16(message + 6, in_reply);
    send_message(app, "CONNECT_RESP");
  } else if (command == c_connect_active && subcommand == s_ind) {
    answer(app, c_connect_active, address, in_reply);
    app->connected = 1;
  } else if (command == c_connect_b3 && subcommand == s_conf) {
    app->ncci = address;
  } else if (command == c_connect_b3 && subcommand == s_ind) {
    app->ncci = address;
    start(app, 15, c_connect_b3, s_resp, address);
    set16(message + 6, in_reply);
    send_message(app, "CONNECT_B3_RESP");
  } else if (command == c_connect_b3_active && subcommand == s_ind) {
    answer(app, c_connect_b3_active, address, in_reply);
    app->b3_up = 1;
  } else if (command == c_data_b3 && subcommand == s_conf) {
    if (u16(m + 14) != 0 && line_may_go)
      line_lost = 1;
    else if (u16(m + 14) != 0)
      fail("a block was refused");
    --app->in_flight;
  } else if (command == c_data_b3 && subcommand == s_ind) {
    uint16_t length = u16(m + 16);
    uintptr_t address_of_data = 0;
    if (sizeof(void*) == 8)
      memcpy(&address_of_data, m + 22, sizeof address_of_data);
    else
      address_of_data = u32(m + 12);
    app->digest = fnv1a(app->digest, (const unsigned char*)address_of_data, length);
    app->received += length;
    uint16_t handle = u16(m + 18);
    if (small_receiver && app == &b) {
      if (length > largest_block)
        largest_block = length;
      if (held_count == small_blocks)
        fail("B was handed more blocks than it registered for");
      held[held_count].handle = handle;
      held[held_count].ncci = address;
      ++held_count;
      return;
    }
    start(app, 14, c_data_b3, s_resp, address);
    set16(message + 6, in_reply);
    set16(message + 12, handle);
    send_message(app, "DATA_B3_RESP");
  } else if (command == c_disconnect_b3 && subcommand == s_ind) {
    answer(app, c_disconnect_b3, address, in_reply);
    app->b3_down = 1;
  } else if (command == c_disconnect && subcommand == s_ind) {
    app->reason = u16(m + 12);
    answer(app, c_disconnect, address, in_reply);
    app->cleared = 1;
  }
}

// small-receiver: B answers the blocks it holds.
static void answer_held(void) {
  for (; held_count > 0; --held_count) {
    start(&b, 14, c_data_b3, s_resp, held[held_count - 1].ncci);
    set16(message + 12, held[held_count - 1].handle);
    send_message(&b, "DATA_B3_RESP");
  }
}

// Takes the messages of this process's applications as they come, until
// `done` holds: with one, waiting for the signal; with two, looking at each
// in turn, and failing after 10 s without any.
static void run_until(int (*done)(void)) {
  ULONGLONG last = GetTickCount64();
  while (!done()) {
    if (locals == 1) {
      PVOID m = NULL;
      DWORD info = capi_wait(local[0]->id);
      if (info == 0)
        info = capi_get(local[0]->id, &m);
      if (info == 0x1104)
        continue;
      if (info != 0 || m == NULL) {
        printf("capi2032_call: %s: info 0x%04lx\n", local[0]->name, (unsigned long)info);
        fflush(stdout);
        exit(1);
      }
      handle(local[0], (const unsigned char*)m);
      continue;
    }
    int got = 0;
    struct application** apps = local;
    for (int i = 0; i < 2; ++i) {
      PVOID m = NULL;
      DWORD info = capi_get(apps[i]->id, &m);
      if (info == 0x1104)
        continue;
      if (info != 0 || m == NULL) {
        printf("capi2032_call: %s: get: info 0x%04lx\n", apps[i]->name, (unsigned long)info);
        fflush(stdout);
        exit(1);
      }
      handle(apps[i], (const unsigned char*)m);
      got = 1;
    }
    if (!got)
      answer_held();
    if (got) {
      last = GetTickCount64();
    } else {
      if (GetTickCount64() - last > 10000)
        fail("nothing came for 10 s");
      Sleep(1);
    }
  }
}

static int b_listens(void) {
  return b.listening;
}
static int connected_or_cleared(void);
static int connected(void) {
  for (int i = 0; i < locals; ++i)
    if (!local[i]->connected || local[i]->plci == 0)
      return 0;
  return 1;
}
static int b3_up(void) {
  for (int i = 0; i < locals; ++i)
    if (!local[i]->b3_up)
      return 0;
  return 1;
}
static int b3_down(void) {
  for (int i = 0; i < locals; ++i)
    if (!local[i]->b3_down)
      return 0;
  return 1;
}
static int cleared(void) {
  for (int i = 0; i < locals; ++i)
    if (!local[i]->cleared)
      return 0;
  return 1;
}
static int data_done(void) {
  int done = 1;
  for (int i = 0; i < locals; ++i) {
    struct application* app = local[i];
    // With a small receiver only A sends.
    unsigned long long sends = small_receiver && app == &b ? 0 : total;
    unsigned long long receives = small_receiver && app == &a ? 0 : total;
    while (app->sent < sends && app->in_flight < window)
      send_block(app);
    done = done && app->sent == sends && app->in_flight == 0 && app->received == receives;
  }
  return done;
}

static int connected_or_cleared(void) {
  return connected() || a.cleared;
}

// lose-call: both send without end while the line holds.
static int both_lost(void) {
  for (int i = 0; i < locals && !line_lost; ++i)
    while (local[i]->in_flight < window && !line_lost) {
      total = local[i]->sent + block_size;
      send_block(local[i]);
    }
  return b3_down() && cleared();
}
static int b_has_data(void) {
  return both_lost() || b.received > 0;
}

// Looks for messages of both applications until `file` exists, for up to a
// minute (the test's patience).
static void wait_for_file(const char* file) {
  ULONGLONG until = GetTickCount64() + 60 * 1000;
  while (GetFileAttributesA(file) == INVALID_FILE_ATTRIBUTES) {
    if (GetTickCount64() > until)
      fail("no go-ahead for 60 s");
    for (int i = 0; i < locals; ++i) {
      PVOID m = NULL;
      if (capi_get(local[i]->id, &m) == 0 && m != NULL)
        handle(local[i], (const unsigned char*)m);
    }
    Sleep(50);
  }
}

// A calls B; with `retry`, as a program retries a failed call: after
// 0x1108 (unless redial-once), or a call cleared before it connected, again
// 100 ms later.
static void dial(int retry) {
  ULONGLONG until = GetTickCount64() + 20000;
  for (;;) {
    for (int i = 0; i < locals; ++i) {
      struct application* app = local[i];
      app->plci = app->ncci = 0;
      app->connected = app->b3_up = app->b3_down = app->cleared = 0;
      app->sent = app->received = app->in_flight = 0;
      app->digest = DIGEST_START;
    }
    start(&a, 27, c_connect, s_req, 1);
    set16(message + 12, 2); // unrestricted digital information
    memcpy(message + 14,
           "\x04\x80"
           "123",
           5);
    DWORD info = capi_put(a.id, message);
    if (info == 0) {
      run_until(connected_or_cleared);
      if (connected())
        return;
    }
    if (!retry || (info != 0 && (info != 0x1108 || redial_once))) {
      printf("capi2032_call: A: CONNECT_REQ: info 0x%04lx\n", (unsigned long)info);
      fflush(stdout);
      exit(1);
    }
    if (GetTickCount64() > until)
      fail("no call came through for 20 s");
    Sleep(100);
  }
}

static void connect_b3(void);
static int call_and_clear(void);

static FARPROC entry(HMODULE dll, const char* name) {
  FARPROC found = GetProcAddress(dll, name);
  if (found == NULL) {
    printf("capi2032_call: %s is missing\n", name);
    fflush(stdout);
    exit(1);
  }
  return found;
}

int main(int argc, char** argv) {
  const char* mode = argc > 2 ? argv[2] : "";
  redial_once = strcmp(mode, "redial-once") == 0;
  int redial = strcmp(mode, "redial") == 0 || redial_once;
  int lose_call = strcmp(mode, "lose-call") == 0;
  if (argc != (redial ? 5 : 4))
    fail("usage: capi2032_call DLL call|answer|dial|small-receiver BYTES"
         " | redial|redial-once BYTES FILE | lose-call FILE");
  // The go-ahead after the host's return.
  const char* file = redial ? argv[4] : argv[3];
  small_receiver = strcmp(mode, "small-receiver") == 0;
  if (strcmp(mode, "call") == 0 || small_receiver || redial || lose_call) {
    local[locals++] = &a;
    local[locals++] = &b;
  } else if (strcmp(mode, "answer") == 0) {
    local[locals++] = &b;
  } else if (strcmp(mode, "dial") == 0) {
    local[locals++] = &a;
  } else {
    fail("unknown mode");
  }
  if (!lose_call)
    total = strtoull(argv[3], NULL, 10);
  HMODULE dll = LoadLibraryA(argv[1]);
  if (dll == NULL)
    fail("the DLL cannot be loaded");
  capi_register = (register_entry)(void (*)(void))entry(dll, "CAPI_REGISTER");
  capi_release = (release_entry)(void (*)(void))entry(dll, "CAPI_RELEASE");
  capi_put = (put_entry)(void (*)(void))entry(dll, "CAPI_PUT_MESSAGE");
  capi_get = (get_entry)(void (*)(void))entry(dll, "CAPI_GET_MESSAGE");
  capi_manufacturer = (text_entry)(void (*)(void))entry(dll, "CAPI_GET_MANUFACTURER");
  capi_version = (version_entry)(void (*)(void))entry(dll, "CAPI_GET_VERSION");
  capi_serial = (text_entry)(void (*)(void))entry(dll, "CAPI_GET_SERIAL_NUMBER");
  capi_profile = (profile_entry)(void (*)(void))entry(dll, "CAPI_GET_PROFILE");
  capi_installed = (installed_entry)(void (*)(void))entry(dll, "CAPI_INSTALLED");
  capi_wait = (wait_entry)(void (*)(void))entry(dll, "CAPI_WAIT_FOR_SIGNAL");

  DWORD info = capi_installed();
  if (info != 0) {
    printf("capi2032_call: not installed: info 0x%04lx\n", (unsigned long)info);
    return 1;
  }
  printf("installed\n");
  char text[64] = {0};
  capi_manufacturer(text);
  printf("manufacturer %s\n", text);
  DWORD major = 0, minor = 0, manufacturer_major = 0, manufacturer_minor = 0;
  capi_version(&major, &minor, &manufacturer_major, &manufacturer_minor);
  printf("version %lu.%lu %lu.%lu\n", (unsigned long)major, (unsigned long)minor,
         (unsigned long)manufacturer_major, (unsigned long)manufacturer_minor);
  memset(text, 0, sizeof text);
  capi_serial(text);
  printf("serial %s\n", text);
  unsigned char profile[64];
  if (capi_profile(profile, 0) != 0)
    fail("no profile of controller 0");
  printf("controllers %u\n", u16(profile));
  if (capi_profile(profile, 1) != 0)
    fail("no profile of controller 1");
  printf("controller 1: %u B channels\n", u16(profile + 2));
  for (int i = 0; i < locals; ++i)
    if (small_receiver && local[i] == &b
            ? capi_register(3072, 2, small_blocks, small_block_size, &local[i]->id) != 0
            : capi_register(3072, 2, window, block_size, &local[i]->id) != 0)
      fail("registration failed");
  printf("registered");
  for (int i = 0; i < locals; ++i)
    printf(" %s=%lu", local[i]->name, (unsigned long)local[i]->id);
  printf("\n");
  fflush(stdout);
  a.digest = b.digest = DIGEST_START;

  if (b.id != 0) {
    start(&b, 26, c_listen, s_req, 1);
    set32(message + 16, 1); // every service
    send_message(&b, "LISTEN_REQ");
    run_until(b_listens);
    printf("listening\n");
    fflush(stdout);
  }
  ULONGLONG back = 0;
  for (int round = 0; round < (redial || lose_call ? 2 : 1); ++round) {
    if (round == 1) {
      if (redial)
        printf("first call done\n");
      fflush(stdout);
      wait_for_file(file);
      back = GetTickCount64();
      total = 65536;
    }
    if (a.id != 0)
      dial(round == 1);
    run_until(connected);
    if (round == 1)
      printf("second call after %llu ms\n", (unsigned long long)(GetTickCount64() - back));
    if (round == 0 && lose_call) {
      connect_b3();
      line_may_go = 1;
      run_until(b_has_data);
      printf("data flowing\n");
      fflush(stdout);
      run_until(both_lost);
      printf("A: lost call, reason 0x%04x\nB: lost call, reason 0x%04x\n", a.reason, b.reason);
      line_may_go = line_lost = 0;
      continue;
    }
    if (!call_and_clear())
      return 1;
  }
  for (int i = 0; i < locals; ++i)
    if (capi_release(local[i]->id) != 0)
      fail("release failed");
  printf("released\n");
  fflush(stdout);
  return 0;
}

// After the call is up: A connects B3, both say "connected".
static void connect_b3(void) {
  if (a.id != 0) {
    start(&a, 13, c_connect_b3, s_req, a.plci);
    send_message(&a, "CONNECT_B3_REQ");
  }
  run_until(b3_up);
  printf("connected\n");
  fflush(stdout);
}

// After the call is up: the data, both ways, then A hangs up. False when
// what came was not what was sent.
static int call_and_clear(void) {
  connect_b3();

  ULONGLONG began = GetTickCount64();
  run_until(data_done);
  ULONGLONG took = GetTickCount64() - began;
  // Answered before the call ends: the interface takes no answer after that.
  answer_held();
  int right = 1;
  for (int i = 0; i < locals; ++i)
    right = right &&
            (local[i]->received == 0 || local[i]->digest == digest_of_sent(local[i] != &a, total));
  if (small_receiver)
    printf("B got %llu bytes in blocks of at most %u, digest %s\n", b.received, largest_block,
           right ? "ok" : "wrong");
  printf("sent %llu received %llu digest %s\n", local[0]->sent, local[0]->received,
         right ? "ok" : "wrong");
  printf("took %llu ms\n", (unsigned long long)took);
  if (!right)
    return 0;
  if (a.id != 0) {
    start(&a, 13, c_disconnect_b3, s_req, a.ncci);
    send_message(&a, "DISCONNECT_B3_REQ");
  }
  run_until(b3_down);
  if (a.id != 0) {
    start(&a, 13, c_disconnect, s_req, a.plci);
    send_message(&a, "DISCONNECT_REQ");
  }
  run_until(cleared);
  printf("cleared\n");
  return 1;
}
