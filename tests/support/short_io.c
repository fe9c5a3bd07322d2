// SPDX-License-Identifier: MIT
/* Preloaded into a process, makes its read, write and writev calls on
 * standard input and output do what pipes and signals may make them do:
 * move fewer bytes than asked, and fail with EINTR having moved nothing.
 * Other descriptors pass untouched. Each of the three calls counts its own
 * calls from 1:
 *   SHORT_IO_MAX_BYTES=K     call n moves at most 1 + (n mod K) bytes, so
 *                            that pieces end in ever different places
 *   SHORT_IO_EINTR_EVERY=N   every Nth call fails with EINTR
 * Unset or 0, a setting does nothing. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/uio.h>
#include <unistd.h>

static unsigned long setting(const char* name) {
  const char* value = getenv(name);
  return value != NULL ? strtoul(value, NULL, 10) : 0;
}

/* How many of `size` bytes the next call may move (`calls` counts them), or
 * 0 when it is to fail with EINTR instead. */
static size_t allowed(unsigned long* calls, size_t size) {
  unsigned long n = ++*calls;
  unsigned long every = setting("SHORT_IO_EINTR_EVERY");
  unsigned long most = setting("SHORT_IO_MAX_BYTES");
  if (every != 0 && n % every == 0)
    return 0;
  if (most != 0 && size > 1 + n % most)
    return 1 + n % most;
  return size;
}

static int affected(int fd) {
  return fd == STDIN_FILENO || fd == STDOUT_FILENO;
}

/* Looked up at the first call, once: the allocation counter may be preloaded
 * beside this. Assigned the way POSIX gives for dlsym's function pointers. */
static ssize_t (*real_read)(int, void*, size_t);
static ssize_t (*real_write)(int, const void*, size_t);
static ssize_t (*real_writev)(int, const struct iovec*, int);

static void find_real_functions(void) {
  if (real_read != NULL)
    return;
  *(void**)&real_read = dlsym(RTLD_NEXT, "read");
  *(void**)&real_write = dlsym(RTLD_NEXT, "write");
  *(void**)&real_writev = dlsym(RTLD_NEXT, "writev");
}

ssize_t read(int fd, void* buffer, size_t size) {
  static unsigned long calls;
  find_real_functions();
  if (!affected(fd) || size == 0)
    return real_read(fd, buffer, size);
  size_t most = allowed(&calls, size);
  if (most == 0) {
    errno = EINTR;
    return -1;
  }
  return real_read(fd, buffer, most);
}

ssize_t write(int fd, const void* data, size_t size) {
  static unsigned long calls;
  find_real_functions();
  if (!affected(fd) || size == 0)
    return real_write(fd, data, size);
  size_t most = allowed(&calls, size);
  if (most == 0) {
    errno = EINTR;
    return -1;
  }
  return real_write(fd, data, most);
}

/* A short writev writes a prefix of the parts: the first whole, the last cut. */
ssize_t writev(int fd, const struct iovec* parts, int count) {
  static unsigned long calls;
  find_real_functions();
  size_t total = 0;
  for (int i = 0; i < count; ++i)
    total += parts[i].iov_len;
  if (!affected(fd) || total == 0 || count > 16)
    return real_writev(fd, parts, count);
  size_t most = allowed(&calls, total);
  if (most == 0) {
    errno = EINTR;
    return -1;
  }
  struct iovec cut[16];
  int used = 0;
  for (; used < count && most > 0; ++used) {
    cut[used] = parts[used];
    if (cut[used].iov_len > most)
      cut[used].iov_len = most;
    most -= cut[used].iov_len;
  }
  return real_writev(fd, cut, used);
}
