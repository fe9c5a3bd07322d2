// SPDX-License-Identifier: MIT
// A CAPI 2.0 program for Debian's libcapi20 that uses one application from
// several threads, as such programs commonly do: one waits while others put
// and release. One case per run, one line per finding on standard output:
//
//   capi20_threads --host ADDRESS --port N CASE
//     release-wakes         a thread waits for ever; another releases:
//                           "waiter 0x....", and "in time" when that came
//                           within a second of the release
//     release-wakes-fileno  the same after capi20_fileno
//     two-waiters           two threads wait 1 s twice each on an idle
//                           application: "cpu N ms", the process's CPU time
//     three-putters         three threads put LISTEN_REQs while one gets:
//                           "confirmed N of M"
//     null-arguments        NULL where a pointer belongs: "register 0x....",
//                           "put 0x....", "get 0x....", "profile 0x...."
//     no-thread             capi20_fileno when no thread can be started (the
//                           address space is nearly full): "fileno N"
//
// Exit status 0 when the case ran to its end.
#include <capi20.h>

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static unsigned appl;

static void fail(const char* what) {
  fprintf(stderr, "capi20_threads: %s\n", what);
  exit(1);
}

static long milliseconds(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

static long cpu_milliseconds(void) {
  struct rusage u;
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000L +
         (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000L;
}

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int waiter_done;
static unsigned waiter_result;

static void* wait_for_ever(void* unused) {
  (void)unused;
  unsigned result = capi20_waitformessage(appl, NULL);
  pthread_mutex_lock(&lock);
  waiter_result = result;
  waiter_done = 1;
  pthread_mutex_unlock(&lock);
  return NULL;
}

static void release_wakes(int with_fileno) {
  if (with_fileno && capi20_fileno(appl) < 0)
    fail("no descriptor");
  pthread_t waiter;
  if (pthread_create(&waiter, NULL, wait_for_ever, NULL) != 0)
    fail("no thread");
  usleep(300000);
  long released = milliseconds();
  capi20_release(appl);
  // A waiter that never returns is reported, not waited for.
  for (int done = 0; !done && milliseconds() - released < 3000; usleep(10000)) {
    pthread_mutex_lock(&lock);
    done = waiter_done;
    pthread_mutex_unlock(&lock);
  }
  pthread_mutex_lock(&lock);
  long took = milliseconds() - released;
  if (!waiter_done) {
    printf("waiter still waiting\n");
    exit(0);
  }
  printf("waiter 0x%04x\n", waiter_result);
  if (took < 1000)
    printf("in time\n");
  pthread_mutex_unlock(&lock);
  pthread_join(waiter, NULL);
}

static void* wait_twice(void* unused) {
  (void)unused;
  for (int i = 0; i < 2; ++i) {
    struct timeval one_second = {1, 0};
    capi20_waitformessage(appl, &one_second);
  }
  return NULL;
}

static void two_waiters(void) {
  long before = cpu_milliseconds();
  pthread_t waiters[2];
  for (int i = 0; i < 2; ++i)
    if (pthread_create(&waiters[i], NULL, wait_twice, NULL) != 0)
      fail("no thread");
  for (int i = 0; i < 2; ++i)
    pthread_join(waiters[i], NULL);
  printf("cpu %ld ms\n", cpu_milliseconds() - before);
  capi20_release(appl);
}

enum { putters = 3, puts_each = 40 };
static int confirmed;

static void* put_listens(void* first) {
  unsigned number = (unsigned)(uintptr_t)first;
  for (int i = 0; i < puts_each; ++i, ++number) {
    // LISTEN_REQ on controller 1: Info mask, CIP mask, CIP mask 2, two
    // empty structs.
    unsigned char m[26] = {26, 0, 0, 0, 0x05, 0x80};
    m[2] = (unsigned char)appl;
    m[6] = (unsigned char)number;
    m[7] = (unsigned char)(number >> 8);
    m[8] = 1;
    m[16] = 1;
    if (capi20_put_message(appl, m) != 0)
      fail("a LISTEN_REQ was refused");
  }
  return NULL;
}

static void three_putters(void) {
  pthread_t threads[putters];
  for (int i = 0; i < putters; ++i)
    if (pthread_create(&threads[i], NULL, put_listens, (void*)(uintptr_t)(1 + i * puts_each)) != 0)
      fail("no thread");
  for (long until = milliseconds() + 10000;
       confirmed < putters * puts_each && milliseconds() < until;) {
    struct timeval wait = {1, 0};
    if (capi20_waitformessage(appl, &wait) != 0)
      continue;
    unsigned char* message = NULL;
    if (capi20_get_message(appl, &message) == 0 && message[4] == 0x05 && message[5] == 0x81)
      ++confirmed;
  }
  for (int i = 0; i < putters; ++i)
    pthread_join(threads[i], NULL);
  printf("confirmed %d of %d\n", confirmed, putters * puts_each);
  capi20_release(appl);
}

// The address space this process uses, in bytes (VmSize).
static unsigned long long address_space(void) {
  unsigned long long kib = 0;
  char line[256];
  FILE* status = fopen("/proc/self/status", "r");
  while (status != NULL && fgets(line, sizeof line, status) != NULL)
    if (sscanf(line, "VmSize: %llu kB", &kib) == 1)
      break;
  if (status != NULL)
    fclose(status);
  return kib * 1024;
}

static void no_thread(void) {
  struct rlimit before;
  getrlimit(RLIMIT_AS, &before);
  // Room for small allocations, none for a thread's stack.
  struct rlimit tight = {address_space() + 1024 * 1024, before.rlim_max};
  if (setrlimit(RLIMIT_AS, &tight) != 0)
    fail("setrlimit");
  int fd = capi20_fileno(appl);
  setrlimit(RLIMIT_AS, &before);
  printf("fileno %d\n", fd);
  capi20_release(appl);
}

static void null_arguments(void) {
  printf("register 0x%04x\n", capi20_register(2, 7, 2048, NULL));
  printf("put 0x%04x\n", capi20_put_message(appl, NULL));
  printf("get 0x%04x\n", capi20_get_message(appl, NULL));
  printf("profile 0x%04x\n", capi20_get_profile(1, NULL));
  capi20_release(appl);
}

int main(int argc, char** argv) {
  setvbuf(stdout, NULL, _IOLBF, 0);
  if (argc < 6 || strcmp(argv[1], "--host") != 0 || strcmp(argv[3], "--port") != 0)
    fail("usage: capi20_threads --host ADDRESS --port N CASE");
  capi20ext_set_driver("fritzbox");
  capi20ext_set_host(argv[2]);
  capi20ext_set_port(atoi(argv[4]));
  const char* name = argv[5];
  if (capi20_register(2, 7, 2048, &appl) != 0)
    fail("not registered");
  if (strcmp(name, "release-wakes") == 0)
    release_wakes(0);
  else if (strcmp(name, "release-wakes-fileno") == 0)
    release_wakes(1);
  else if (strcmp(name, "two-waiters") == 0)
    two_waiters();
  else if (strcmp(name, "three-putters") == 0)
    three_putters();
  else if (strcmp(name, "null-arguments") == 0)
    null_arguments();
  else if (strcmp(name, "no-thread") == 0)
    no_thread();
  else
    fail("unknown case");
  printf("done\n");
  return 0;
}
