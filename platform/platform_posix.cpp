// The platform layer on POSIX systems (Linux): plain file descriptors, dlopen
// and a readability test through process_vm_readv. Nothing Windows-specific.
#include "platform/platform.hpp"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <dlfcn.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

const char* const capi_library_file_name = "libcapi20.so.3";

void platform_start() {
  // Neither the bridge's own writes nor the library's sends on its TCP
  // sockets (it sets no MSG_NOSIGNAL) may end the process.
  std::signal(SIGPIPE, SIG_IGN);
}

long platform_read_input(void* buffer, std::size_t size) {
  for (;;) {
    ssize_t got = read(STDIN_FILENO, buffer, size);
    if (got >= 0)
      return static_cast<long>(got);
    if (errno != EINTR)
      return -1;
  }
}

void platform_write_output(const void* head, std::size_t head_length, const void* data,
                           std::size_t data_length, const void* extra, std::size_t extra_length) {
  iovec parts[3] = {{const_cast<void*>(head), head_length},
                    {const_cast<void*>(data), data_length},
                    {const_cast<void*>(extra), extra_length}};
  iovec* next = parts;
  int left = 3;
  // One writev for the whole reply; the loop only runs again when a pipe
  // takes part of it.
  while (left > 0) {
    if (next->iov_len == 0) {
      ++next;
      --left;
      continue;
    }
    ssize_t wrote = writev(STDOUT_FILENO, next, left);
    if (wrote < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    auto done = static_cast<std::size_t>(wrote);
    while (left > 0 && done >= next->iov_len) {
      done -= next->iov_len;
      ++next;
      --left;
    }
    if (left > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + done;
      next->iov_len -= done;
    }
  }
}

timeval* platform_zero_timeout() {
  static timeval zero;
  zero = {0, 0};
  return &zero;
}

void* platform_load_library(const char* file_name) {
  return dlopen(file_name, RTLD_NOW | RTLD_LOCAL);
}

void* platform_find_symbol(void* library, const char* name) { return dlsym(library, name); }

// Linux has no IsBadReadPtr. process_vm_readv on our own process asks the
// kernel to read through our page tables: an unmapped or unreadable page makes
// it stop with a short count or EFAULT instead of raising SIGSEGV. Readability
// is a property of whole pages, so one byte from each page the range touches
// is enough; the payload itself is never copied.
bool platform_is_readable(const void* address, std::size_t size) {
  if (address == nullptr)
    return false;
  if (size == 0)
    return true;
  auto first = reinterpret_cast<std::uintptr_t>(address);
  std::uintptr_t last = first + (size - 1);
  if (last < first)
    return false;

  static const auto page_size = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  std::uintptr_t first_page = first & ~(page_size - 1);
  std::uintptr_t pages = ((last & ~(page_size - 1)) - first_page) / page_size + 1;

  constexpr std::uintptr_t batch = 64;
  char probe[batch];
  iovec remote[batch];
  for (std::uintptr_t done = 0; done < pages;) {
    std::uintptr_t count = pages - done < batch ? pages - done : batch;
    for (std::uintptr_t i = 0; i < count; ++i) {
      std::uintptr_t page = first_page + (done + i) * page_size;
      remote[i] = {reinterpret_cast<void*>(page < first ? first : page), 1};
    }
    iovec local = {probe, count};
    if (process_vm_readv(getpid(), &local, 1, remote, count, 0) != static_cast<ssize_t>(count))
      return false;
    done += count;
  }
  return true;
}
