// SPDX-License-Identifier: MIT
// Preloaded into a bridge by the benchmark's echo row: drops its
// setsockopt(TCP_NODELAY), so that the library's socket stays as the driver
// leaves it, Nagle's algorithm on, as it was before the bridge set the option.
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

extern "C" __attribute__((visibility("default"))) int
setsockopt(int socket, int level, int name, const void* value, socklen_t size) noexcept {
  if (level == IPPROTO_TCP && name == TCP_NODELAY)
    return 0;
  using real_setsockopt = int (*)(int, int, int, const void*, socklen_t);
  static auto real = reinterpret_cast<real_setsockopt>(dlsym(RTLD_NEXT, "setsockopt"));
  return real(socket, level, name, value, size);
}
