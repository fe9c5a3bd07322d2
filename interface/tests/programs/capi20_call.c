// SPDX-License-Identifier: MIT
// An ordinary CAPI 2.0 program for Debian's libcapi20 (linked with -lcapi20,
// its own message helpers for everything but the data), used to show that
// such programs run unchanged with capi-bridge-run. Two applications in one
// process, A and B, on controller 1 of the host:
//
//   capi20_call [--host ADDRESS --port N] call BYTES
//     A calls B, both send BYTES in blocks of 2048 (7 unconfirmed at most)
//     and check what they receive by digest, A hangs up, both release.
//   capi20_call [--host ADDRESS --port N] oversized
//     A listens and then reads until its host's connection fails; B then
//     listens all the same (against a host that sends an oversized frame).
//   capi20_call [--host ADDRESS --port N] installed
//     is-installed and the profiles, and nothing else.
//   capi20_call [--host ADDRESS --port N] small-receiver BYTES
//     as "call", but only A sends, in blocks of 2048, and B registers 3
//     blocks of 128 bytes and holds each until nothing more waits: "B got
//     BYTES bytes in blocks of at most N, digest ok"; fails when B is
//     handed a fourth block it has not answered.
//   capi20_call [--host ADDRESS --port N] long-data-b3
//     A calls B and puts one DATA_B3_REQ of 126 bytes with 2048 bytes of
//     data, more than the library sends intact; says what B got.
//   capi20_call [--host ADDRESS --port N] out-of-descriptors
//     with 64 descriptors at most, registers applications until one is
//     refused: "refused 0x...." (or "never refused" after 500).
//   capi20_call [--host ADDRESS --port N] reap-children
//     starts a child of its own and reaps every child it has, as shells and
//     daemons do, within 10 s: "reaped N"; then B listens.
//   capi20_call [--host ADDRESS --port N] fork-child
//     forks and exits; the child, once its parent has gone, has B listen
//     and releases both: "child: B listens", "child: released".
//   capi20_call [--host ADDRESS --port N] redial BYTES FILE
//     as "call", then "first call done"; waits (in capi20_waitformessage on
//     both, as the host goes and comes back) until FILE exists, and calls
//     again as a program does after a failed call: again after 0x1108 or a
//     call cleared before it connected. "second call after N ms" (from
//     FILE), "cpu while waiting N ms" (this process's, threads included).
//   capi20_call [--host ADDRESS --port N] redial-once BYTES FILE
//     as "redial", but the first CONNECT_REQ after FILE that is refused
//     ends the program: "capi20_call: CONNECT_REQ again: info 0x....".
//   capi20_call [--host ADDRESS --port N] lose-call FILE
//     A calls B, both send without end; "data flowing" once B has data, then
//     goes on until both have had DISCONNECT_B3_IND and DISCONNECT_IND:
//     "A: lost call, reason 0x3301", the same for B; then as "redial" from
//     the wait for FILE on.
//   capi20_call [--host ADDRESS --port N] exec
//     execs itself as "capi20_call after-exec", which waits up to 5 s for
//     every child it has to end and then says how many it left unreaped:
//     "zombies N".
//
// Without --host the library's configuration (a REMOTE line) names the
// host. Built with CAPI20_CALL_DYNAMIC, for libcapi20dyn.a, which opens the
// library at run time and has no setters, it takes no --host. One line per
// step on standard output; the last line of "call" before "released" is
// "sockets N", the TCP sockets this process holds while both applications
// are registered. Exit status 0 when every step went right.
#include <capi20.h>
#include <capiutils.h>

#include "call_data.h"

#include <dirent.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { block_size = 2048, window = 7 };

struct application {
  const char* name;
  unsigned id;
  unsigned plci, ncci;
  int listening, connected, b3_up, b3_down, cleared;
  unsigned reason;
  unsigned long long sent, confirmed_bytes, received;
  unsigned in_flight;
  uint64_t received_digest;
  uint16_t next_handle;
};

static struct application a = {.name = "A"}, b = {.name = "B"};
static unsigned long long total;
// small-receiver: B registers 3 blocks of 128 bytes and holds what it gets
// until nothing more waits; the most it held at once, and its largest block.
enum { small_blocks = 3, small_block_size = 128 };
static int small_receiver;
static struct {
  uint16_t handle;
  unsigned ncci;
} held[small_blocks];
static unsigned held_count, largest_block;
// lose-call: the line may go at any time; refused blocks and puts end the
// sending instead of the program.
static int line_may_go, line_lost;
static int redial_once;
static _cmsg out;
static uint16_t number = 1;

static void fail(const char* what) {
  fprintf(stderr, "capi20_call: %s\n", what);
  exit(1);
}

static void put(struct application* app, unsigned command, unsigned subcommand, unsigned address) {
  capi_cmsg_header(&out, app->id, (_cbyte)command, (_cbyte)subcommand, number++, address);
}

static void send_cmsg(const char* what) {
  unsigned info = capi_put_cmsg(&out);
  if (info != 0) {
    fprintf(stderr, "capi20_call: %s: info 0x%04x\n", what, info);
    exit(1);
  }
}

// One block of `app`'s data, built by hand: the library copies the data
// behind the message in the buffer it is given, more than the message
// helpers' buffer holds.
static void send_block(struct application* app) {
  static unsigned char message[30 + 4096];
  static unsigned char data[block_size];
  unsigned long long left = total - app->sent;
  unsigned count = left < block_size ? (unsigned)left : block_size;
  for (unsigned i = 0; i < count; ++i)
    data[i] = sent_byte(app == &a, app->sent + i);
  memset(message, 0, 30);
  uint64_t address = (uint64_t)(uintptr_t)data;
  message[0] = 30;
  message[2] = (unsigned char)app->id;
  message[3] = (unsigned char)(app->id >> 8);
  message[4] = CAPI_DATA_B3;
  message[5] = CAPI_REQ;
  message[6] = (unsigned char)number;
  message[7] = (unsigned char)(number >> 8);
  ++number;
  memcpy(message + 8, &app->ncci, 4);
  message[16] = (unsigned char)count;
  message[17] = (unsigned char)(count >> 8);
  message[18] = (unsigned char)app->next_handle;
  message[19] = (unsigned char)(app->next_handle >> 8);
  app->next_handle = (uint16_t)((app->next_handle + 1) % 64);
  memcpy(message + 22, &address, 8);
  unsigned info = capi20_put_message(app->id, message);
  if (info == 0x1108 && line_may_go) {
    line_lost = 1;
    return;
  }
  if (info != 0) {
    fprintf(stderr, "capi20_call: %s: DATA_B3_REQ: info 0x%04x\n", app->name, info);
    exit(1);
  }
  app->sent += count;
  ++app->in_flight;
}

// The call's side of every message: answers indications, notes confirmations.
static void handle(struct application* app, _cmsg* m) {
  unsigned command = m->Command, subcommand = m->Subcommand;
  if (subcommand == CAPI_CONF && m->Info != 0 && command != CAPI_DATA_B3) {
    fprintf(stderr, "capi20_call: %s: confirmation 0x%02x with info 0x%04x\n", app->name, command,
            m->Info);
    exit(1);
  }
  if (command == CAPI_LISTEN && subcommand == CAPI_CONF) {
    app->listening = 1;
  } else if (command == CAPI_CONNECT && subcommand == CAPI_CONF) {
    app->plci = m->adr.adrPLCI;
  } else if (command == CAPI_CONNECT && subcommand == CAPI_IND) {
    app->plci = m->adr.adrPLCI;
    put(app, CAPI_CONNECT, CAPI_RESP, app->plci);
    out.Messagenumber = m->Messagenumber;
    out.Reject = 0;
    send_cmsg("CONNECT_RESP");
  } else if (command == CAPI_CONNECT_ACTIVE && subcommand == CAPI_IND) {
    put(app, CAPI_CONNECT_ACTIVE, CAPI_RESP, m->adr.adrPLCI);
    send_cmsg("CONNECT_ACTIVE_RESP");
    app->connected = 1;
  } else if (command == CAPI_CONNECT_B3 && subcommand == CAPI_CONF) {
    app->ncci = m->adr.adrNCCI;
  } else if (command == CAPI_CONNECT_B3 && subcommand == CAPI_IND) {
    app->ncci = m->adr.adrNCCI;
    put(app, CAPI_CONNECT_B3, CAPI_RESP, app->ncci);
    out.Reject = 0;
    send_cmsg("CONNECT_B3_RESP");
  } else if (command == CAPI_CONNECT_B3_ACTIVE && subcommand == CAPI_IND) {
    put(app, CAPI_CONNECT_B3_ACTIVE, CAPI_RESP, m->adr.adrNCCI);
    send_cmsg("CONNECT_B3_ACTIVE_RESP");
    app->b3_up = 1;
  } else if (command == CAPI_DATA_B3 && subcommand == CAPI_CONF) {
    if (m->Info != 0 && line_may_go)
      line_lost = 1;
    else if (m->Info != 0)
      fail("a block was refused");
    --app->in_flight;
  } else if (command == CAPI_DATA_B3 && subcommand == CAPI_IND) {
    app->received_digest = fnv1a(app->received_digest, m->Data, m->DataLength);
    app->received += m->DataLength;
    if (small_receiver && app == &b) {
      if (m->DataLength > largest_block)
        largest_block = m->DataLength;
      if (held_count == small_blocks)
        fail("B was handed more blocks than it registered for");
      held[held_count].handle = m->DataHandle;
      held[held_count].ncci = m->adr.adrNCCI;
      ++held_count;
      return;
    }
    put(app, CAPI_DATA_B3, CAPI_RESP, m->adr.adrNCCI);
    out.DataHandle = m->DataHandle;
    send_cmsg("DATA_B3_RESP");
  } else if (command == CAPI_DISCONNECT_B3 && subcommand == CAPI_IND) {
    put(app, CAPI_DISCONNECT_B3, CAPI_RESP, m->adr.adrNCCI);
    send_cmsg("DISCONNECT_B3_RESP");
    app->b3_down = 1;
  } else if (command == CAPI_DISCONNECT && subcommand == CAPI_IND) {
    app->reason = m->Reason;
    put(app, CAPI_DISCONNECT, CAPI_RESP, m->adr.adrPLCI);
    send_cmsg("DISCONNECT_RESP");
    app->cleared = 1;
  }
}

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

// small-receiver: B answers the blocks it holds.
static void answer_held(void) {
  for (; held_count > 0; --held_count) {
    put(&b, CAPI_DATA_B3, CAPI_RESP, held[held_count - 1].ncci);
    out.DataHandle = held[held_count - 1].handle;
    send_cmsg("DATA_B3_RESP");
  }
}

// Waits for messages to either application and handles them, until `done`
// holds; fails after 10 s without a message.
static void run_until(int (*done)(void)) {
  static _cmsg in;
  double last = now();
  while (!done()) {
    int got = 0;
    struct application* apps[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
      struct timeval zero = {0, 0};
      if (apps[i]->id == 0 || capi20_waitformessage(apps[i]->id, &zero) != 0)
        continue;
      unsigned info = capi_get_cmsg(&in, apps[i]->id);
      if (info == 0x1104)
        continue;
      if (info != 0) {
        fprintf(stderr, "capi20_call: %s: get: info 0x%04x\n", apps[i]->name, info);
        exit(1);
      }
      handle(apps[i], &in);
      got = 1;
    }
    if (got) {
      last = now();
      continue;
    }
    answer_held();
    if (now() - last > 10)
      fail("nothing came for 10 s");
    struct pollfd watched[2] = {{a.id != 0 ? capi20_fileno(a.id) : -1, POLLIN, 0},
                                {b.id != 0 ? capi20_fileno(b.id) : -1, POLLIN, 0}};
    poll(watched, 2, 100);
  }
}

static int b_listens(void) {
  return b.listening;
}
static int both_connected(void) {
  return a.connected && b.connected && a.plci != 0;
}
static int both_b3_up(void) {
  return a.b3_up && b.b3_up;
}
static int b3_down(void) {
  return a.b3_down && b.b3_down;
}
static int cleared(void) {
  return a.cleared && b.cleared;
}

static int data_done(void) {
  struct application* apps[2] = {&a, &b};
  for (int i = 0; i < 2; ++i)
    while (apps[i]->sent < total && apps[i]->in_flight < window)
      send_block(apps[i]);
  return a.sent == total && b.sent == total && a.in_flight == 0 && b.in_flight == 0 &&
         a.received == total && b.received == total;
}

static int one_way_done(void) {
  while (a.sent < total && a.in_flight < window)
    send_block(&a);
  return a.sent == total && a.in_flight == 0 && b.received == total;
}

static unsigned register_application(struct application* app) {
  int small = small_receiver && app == &b;
  unsigned info = capi20_register(2, small ? small_blocks : window,
                                  small ? small_block_size : block_size, &app->id);
  if (info != 0) {
    fprintf(stderr, "capi20_call: register %s: info 0x%04x\n", app->name, info);
    exit(1);
  }
  return app->id;
}

static int sockets(void) {
  int count = 0;
  DIR* folder = opendir("/proc/self/fd");
  struct dirent* entry;
  while (folder != NULL && (entry = readdir(folder)) != NULL) {
    char path[300], target[300];
    snprintf(path, sizeof path, "/proc/self/fd/%s", entry->d_name);
    ssize_t length = readlink(path, target, sizeof target - 1);
    if (length > 0) {
      target[length] = '\0';
      count += strncmp(target, "socket:", 7) == 0;
    }
  }
  if (folder != NULL)
    closedir(folder);
  return count;
}

// The children of this process: how many there are, and how many of them
// have ended without being reaped.
static void children(int* all, int* zombies) {
  *all = *zombies = 0;
  DIR* tasks = opendir("/proc/self/task");
  struct dirent* task;
  while (tasks != NULL && (task = readdir(tasks)) != NULL) {
    char path[300];
    snprintf(path, sizeof path, "/proc/self/task/%s/children", task->d_name);
    FILE* list = fopen(path, "r");
    for (int pid; list != NULL && fscanf(list, "%d", &pid) == 1;) {
      char stat_path[64], state = '?';
      snprintf(stat_path, sizeof stat_path, "/proc/%d/stat", pid);
      FILE* stat = fopen(stat_path, "r");
      if (stat != NULL && fscanf(stat, "%*d %*s %c", &state) == 1)
        ++*all;
      *zombies += state == 'Z';
      if (stat != NULL)
        fclose(stat);
    }
    if (list != NULL)
      fclose(list);
  }
  if (tasks != NULL)
    closedir(tasks);
}

static void listen_b(void) {
  put(&b, CAPI_LISTEN, CAPI_REQ, 1);
  out.InfoMask = 0;
  out.CIPmask = 1; // every service
  out.CIPmask2 = 0;
  out.CallingPartyNumber = NULL;
  out.CallingPartySubaddress = NULL;
  send_cmsg("LISTEN_REQ");
  run_until(b_listens);
}

static void connect_a_to_b(void) {
  static unsigned char called[] = {4, 0x80, '1', '2', '3'};
  put(&a, CAPI_CONNECT, CAPI_REQ, 1);
  out.CIPValue = 2; // unrestricted digital information
  out.CalledPartyNumber = called;
  send_cmsg("CONNECT_REQ");
  run_until(both_connected);
  put(&a, CAPI_CONNECT_B3, CAPI_REQ, a.plci);
  send_cmsg("CONNECT_B3_REQ");
  run_until(both_b3_up);
  printf("connected\n");
}

// Sends without end while the line holds.
static int both_lost(void) {
  struct application* apps[2] = {&a, &b};
  for (int i = 0; i < 2 && !line_lost; ++i)
    while (apps[i]->in_flight < window && !line_lost) {
      total = apps[i]->sent + block_size;
      send_block(apps[i]);
    }
  return a.b3_down && b.b3_down && a.cleared && b.cleared;
}
static int b_has_data(void) {
  return both_lost() || b.received > 0;
}

static int connected_or_cleared(void) {
  return both_connected() || a.cleared;
}

static double cpu_seconds(void) {
  struct rusage used;
  getrusage(RUSAGE_SELF, &used);
  return (double)used.ru_utime.tv_sec + (double)used.ru_utime.tv_usec / 1e6 +
         (double)used.ru_stime.tv_sec + (double)used.ru_stime.tv_usec / 1e6;
}

// Waits for `file` as a program waits for messages, handling what comes.
static void wait_for_file(const char* file) {
  static _cmsg in;
  double until = now() + 60;
  while (access(file, F_OK) != 0) {
    if (now() > until)
      fail("no go-ahead for 60 s");
    struct application* apps[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
      struct timeval wait = {0, 100000};
      if (capi20_waitformessage(apps[i]->id, &wait) == 0 && capi_get_cmsg(&in, apps[i]->id) == 0)
        handle(apps[i], &in);
    }
  }
}

// Calls B from A as a program retries a failed call: after 0x1108, or a
// call cleared before it connected, again 100 ms later; 20 s at most.
static void call_again(void) {
  double until = now() + 20;
  for (;;) {
    if (now() > until)
      fail("no call came through for 20 s");
    struct application* apps[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
      apps[i]->plci = apps[i]->ncci = 0;
      apps[i]->connected = apps[i]->b3_up = apps[i]->b3_down = apps[i]->cleared = 0;
      apps[i]->sent = apps[i]->received = apps[i]->in_flight = 0;
      apps[i]->received_digest = DIGEST_START;
    }
    static unsigned char called[] = {4, 0x80, '1', '2', '3'};
    put(&a, CAPI_CONNECT, CAPI_REQ, 1);
    out.CIPValue = 2;
    out.CalledPartyNumber = called;
    unsigned info = capi_put_cmsg(&out);
    if (info == 0) {
      run_until(connected_or_cleared);
      if (both_connected())
        break;
    } else if (info != 0x1108 || redial_once) {
      fprintf(stderr, "capi20_call: CONNECT_REQ again: info 0x%04x\n", info);
      exit(1);
    }
    usleep(100000);
  }
  put(&a, CAPI_CONNECT_B3, CAPI_REQ, a.plci);
  send_cmsg("CONNECT_B3_REQ");
  run_until(both_b3_up);
}

// "redial" and "lose-call" from the wait for `file` on.
static void redial(const char* file) {
  double cpu = cpu_seconds();
  wait_for_file(file);
  double back = now();
  printf("cpu while waiting %.0f ms\n", (cpu_seconds() - cpu) * 1000);
  total = 65536;
  call_again();
  printf("second call after %.0f ms\n", (now() - back) * 1000);
  run_until(data_done);
  printf("second call: sent %llu received %llu digest %s\n", a.sent, a.received,
         a.received_digest == digest_of_sent(0, total) &&
                 b.received_digest == digest_of_sent(1, total)
             ? "ok"
             : "wrong");
}

static void hang_up(void) {
  put(&a, CAPI_DISCONNECT_B3, CAPI_REQ, a.ncci);
  send_cmsg("DISCONNECT_B3_REQ");
  run_until(b3_down);
  put(&a, CAPI_DISCONNECT, CAPI_REQ, a.plci);
  send_cmsg("DISCONNECT_REQ");
  run_until(cleared);
  printf("cleared\n");
}

int main(int argc, char** argv) {
  int arg = 1;
  setvbuf(stdout, NULL, _IOLBF, 0);
  if (argc == 2 && strcmp(argv[1], "after-exec") == 0) {
    int all = 0, zombies = 0;
    for (double until = now() + 5; now() < until; usleep(20000)) {
      children(&all, &zombies);
      if (all == zombies)
        break;
    }
    printf("zombies %d\n", zombies);
    return 0;
  }
#ifndef CAPI20_CALL_DYNAMIC
  if (argc > 4 && strcmp(argv[1], "--host") == 0 && strcmp(argv[3], "--port") == 0) {
    capi20ext_set_driver("fritzbox");
    capi20ext_set_host(argv[2]);
    capi20ext_set_port(atoi(argv[4]));
    arg = 5;
  }
#endif
  if (arg >= argc)
    fail("usage: capi20_call [--host ADDRESS --port N] call BYTES | oversized | long-data-b3");
  const char* mode = argv[arg];

  unsigned info = capi20_isinstalled();
  if (info != 0) {
    fprintf(stderr, "capi20_call: not installed: info 0x%04x\n", info);
    return 1;
  }
  printf("installed\n");
  unsigned char profile[64];
  if (capi20_get_profile(0, profile) != 0)
    fail("no profile of controller 0");
  printf("controllers %u\n", profile[0] | profile[1] << 8);
  if (capi20_get_profile(1, profile) != 0)
    fail("no profile of controller 1");
  printf("controller 1: %u B channels\n", profile[2] | profile[3] << 8);
  if (strcmp(mode, "installed") == 0)
    return 0;
  small_receiver = strcmp(mode, "small-receiver") == 0;
  register_application(&a);
  register_application(&b);
  printf("registered A=%u B=%u\n", a.id, b.id);
  a.received_digest = b.received_digest = DIGEST_START;

  if (strcmp(mode, "call") == 0 && arg + 1 < argc) {
    total = strtoull(argv[arg + 1], NULL, 10);
    listen_b();
    connect_a_to_b();
    run_until(data_done);
    int right = a.received_digest == digest_of_sent(0, total) &&
                b.received_digest == digest_of_sent(1, total);
    printf("sent %llu received %llu digest %s\n", a.sent, a.received, right ? "ok" : "wrong");
    if (!right)
      return 1;
    printf("sockets %d\n", sockets());
    hang_up();
  } else if ((strcmp(mode, "redial") == 0 || strcmp(mode, "redial-once") == 0) && arg + 2 < argc) {
    redial_once = strcmp(mode, "redial-once") == 0;
    total = strtoull(argv[arg + 1], NULL, 10);
    listen_b();
    connect_a_to_b();
    run_until(data_done);
    hang_up();
    printf("first call done\n");
    redial(argv[arg + 2]);
    hang_up();
  } else if (strcmp(mode, "lose-call") == 0 && arg + 1 < argc) {
    listen_b();
    connect_a_to_b();
    line_may_go = 1;
    run_until(b_has_data);
    printf("data flowing\n");
    run_until(both_lost);
    printf("A: lost call, reason 0x%04x\nB: lost call, reason 0x%04x\n", a.reason, b.reason);
    line_may_go = line_lost = 0;
    redial(argv[arg + 1]);
    hang_up();
  } else if (small_receiver && arg + 1 < argc) {
    total = strtoull(argv[arg + 1], NULL, 10);
    listen_b();
    connect_a_to_b();
    run_until(one_way_done);
    // Answered before the call ends: the library takes no answer after that.
    answer_held();
    printf("B got %llu bytes in blocks of at most %u, digest %s\n", b.received, largest_block,
           b.received_digest == digest_of_sent(1, total) ? "ok" : "wrong");
    hang_up();
  } else if (strcmp(mode, "oversized") == 0) {
    put(&a, CAPI_LISTEN, CAPI_REQ, 1);
    out.CIPmask = 1;
    send_cmsg("LISTEN_REQ");
    double until = now() + 5;
    while (now() < until) {
      struct timeval wait = {1, 0};
      if (capi20_waitformessage(a.id, &wait) != 0)
        continue;
      unsigned char* message = NULL;
      info = capi20_get_message(a.id, &message);
      if (info == 0) {
        printf("A: message 0x%02x 0x%02x\n", message[4], message[5]);
      } else if (info != 0x1104) {
        printf("A error 0x%04x\n", info);
        capi20_release(a.id);
        a.id = 0;
        break;
      }
    }
    listen_b();
    printf("B: LISTEN_CONF info 0x0000\n");
  } else if (strcmp(mode, "long-data-b3") == 0) {
    listen_b();
    connect_a_to_b();
    static unsigned char message[126 + 4096];
    static unsigned char data[block_size];
    memset(data, 'x', sizeof data);
    uint64_t address = (uint64_t)(uintptr_t)data;
    message[0] = 126;
    message[2] = (unsigned char)a.id;
    message[4] = CAPI_DATA_B3;
    message[5] = CAPI_REQ;
    message[6] = (unsigned char)number++;
    memcpy(message + 8, &a.ncci, 4);
    message[16] = (unsigned char)(block_size & 0xff);
    message[17] = (unsigned char)(block_size >> 8);
    memcpy(message + 22, &address, 8);
    info = capi20_put_message(a.id, message);
    printf("put 0x%04x\n", info);
    if (info == 0)
      ++a.in_flight;
    double until = now() + 2;
    while (now() < until && b.received == 0) {
      struct timeval wait = {0, 100000};
      if (capi20_waitformessage(b.id, &wait) == 0) {
        static _cmsg in;
        if (capi_get_cmsg(&in, b.id) == 0)
          handle(&b, &in);
      }
    }
    uint64_t as_sent = fnv1a(DIGEST_START, data, sizeof data);
    if (b.received != 0)
      printf("B got %llu bytes, %s\n", b.received,
             b.received_digest == as_sent ? "as sent" : "not as sent");
    else
      printf("B got nothing\n");
    hang_up();
  } else if (strcmp(mode, "fork-child") == 0) {
    pid_t parent = getpid();
    pid_t child = fork();
    if (child < 0)
      fail("fork");
    if (child > 0)
      _exit(0);
    for (double until = now() + 5; getppid() == parent && now() < until;)
      usleep(10000);
    listen_b();
    printf("child: B listens\n");
    capi20_release(a.id);
    capi20_release(b.id);
    printf("child: released\n");
    return 0;
  } else if (strcmp(mode, "exec") == 0) {
    execl("/proc/self/exe", "capi20_call", "after-exec", (char*)NULL);
    fail("exec");
  } else if (strcmp(mode, "reap-children") == 0) {
    pid_t child = fork();
    if (child < 0)
      fail("fork");
    if (child == 0)
      _exit(0);
    // A loop that would never end ends the program.
    alarm(10);
    int reaped = 0, status = 0;
    while (wait(&status) > 0)
      ++reaped;
    alarm(0);
    printf("reaped %d\n", reaped);
    listen_b();
    printf("B listens\n");
  } else if (strcmp(mode, "out-of-descriptors") == 0) {
    struct rlimit few = {64, 64};
    if (setrlimit(RLIMIT_NOFILE, &few) != 0)
      fail("setrlimit");
    static unsigned more[500];
    unsigned count = 0;
    for (info = 0; info == 0 && count < 500;) {
      info = capi20_register(1, 7, 2048, &more[count]);
      if (info == 0)
        ++count;
    }
    if (info != 0)
      printf("refused 0x%04x\n", info);
    else
      printf("never refused\n");
    while (count > 0)
      capi20_release(more[--count]);
  } else {
    fail("unknown mode");
  }
  if (a.id != 0)
    capi20_release(a.id);
  capi20_release(b.id);
  printf("released\n");
  return 0;
}
