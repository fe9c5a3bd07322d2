// SPDX-License-Identifier: MIT
// The wire comparison's program on Linux, in one of two ways:
//   wire_scenario LIBRARY PORT   loads LIBRARY with dlopen and runs the
//                                whole call (wire_scenario.hpp) through a
//                                relay in this process to the host at
//                                127.0.0.1:PORT; then writes every frame
//   wire_scenario --relay PORT   relays alone, for a scenario in another
//                                process (the Windows one): writes
//                                "relaying PORT" once it listens, relays
//                                until its standard input ends, then writes
//                                every frame
// Exit status 0 when it ran to its end.
#include "wire_scenario.hpp"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace capimsg;

namespace {

capi_library lib;
unsigned (*waitformessage)(unsigned, timeval*);

unsigned wait_seconds(unsigned appl_id, long seconds) {
  timeval wait{seconds, 0};
  return waitformessage(appl_id, &wait);
}

template <typename Function> void resolve(void* handle, Function& slot, const char* name) {
  slot = reinterpret_cast<Function>(::dlsym(handle, name));
  if (slot == nullptr) {
    std::fprintf(stderr, "wire_scenario: %s missing\n", name);
    std::exit(2);
  }
}

// The relay: each connection the library opens is accepted here and joined
// to one of its own to the host; what passes is recorded.
struct joined {
  int library_side = -1;
  int host_side = -1;
  bytes to_host;
  bytes to_library;
};

int relay_listener = -1;
std::uint16_t host_port = 0;
std::vector<joined> connections;

std::uint16_t open_relay() {
  relay_listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(relay_listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(relay_listener, 8) != 0 ||
      ::getsockname(relay_listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    std::exit(2);
  return ntohs(address.sin_port);
}

int connect_host() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(host_port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    std::exit(2);
  return fd;
}

// Moves what one side has to the other; false at its end.
bool pass(int from, int to, bytes& record) {
  std::uint8_t buffer[8192];
  ssize_t got = ::recv(from, buffer, sizeof buffer, 0);
  if (got <= 0) {
    ::shutdown(to, SHUT_WR);
    return false;
  }
  record.insert(record.end(), buffer, buffer + got);
  for (ssize_t sent = 0; sent < got;) {
    ssize_t n = ::send(to, buffer + sent, static_cast<std::size_t>(got - sent), MSG_NOSIGNAL);
    if (n <= 0)
      return false;
    sent += n;
  }
  return true;
}

// Relays until nothing has moved for `idle_ms`.
void relay(int idle_ms) {
  for (;;) {
    std::vector<pollfd> fds = {{relay_listener, POLLIN, 0}};
    for (const joined& c : connections) {
      fds.push_back({c.library_side, static_cast<short>(c.library_side >= 0 ? POLLIN : 0), 0});
      fds.push_back({c.host_side, static_cast<short>(c.host_side >= 0 ? POLLIN : 0), 0});
    }
    if (::poll(fds.data(), fds.size(), idle_ms) <= 0)
      return;
    if ((fds[0].revents & POLLIN) != 0) {
      joined c;
      c.library_side = ::accept(relay_listener, nullptr, nullptr);
      c.host_side = connect_host();
      connections.push_back(c);
    }
    for (std::size_t i = 0; i + 1 < fds.size(); i += 2) {
      joined& c = connections[i / 2];
      if (fds[i + 1].revents != 0 && c.library_side >= 0 &&
          !pass(c.library_side, c.host_side, c.to_host))
        c.library_side = -1;
      if (fds[i + 2].revents != 0 && c.host_side >= 0 &&
          !pass(c.host_side, c.library_side < 0 ? c.host_side : c.library_side, c.to_library))
        c.host_side = -1;
    }
  }
}

// Every connection's frames, both ways.
void print_connections() {
  for (std::size_t i = 0; i < connections.size(); ++i) {
    const joined& c = connections[i];
    // The first request tells the connection's kind: a registration's
    // connection has one short-headed reply, a control connection only such.
    bool registration = c.to_host.size() >= 14 && c.to_host[13] == 0x09;
    std::size_t short_headed = registration ? 1 : c.to_library.size();
    print_frames("L>H", i + 1, c.to_host, 0);
    print_frames("H>L", i + 1, c.to_library, short_headed);
  }
}

// Relays in a thread of its own (the library's calls, or the reading of
// standard input, wait meanwhile) until `until` returns, then lets what is
// still on its way through.
template <typename Until> void relay_during(Until until) {
  std::atomic<bool> stop{false};
  std::thread relaying([&stop] {
    while (!stop)
      relay(50);
    relay(200);
  });
  until();
  stop = true;
  relaying.join();
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: wire_scenario LIBRARY PORT | wire_scenario --relay PORT\n");
    return 2;
  }
  host_port = static_cast<std::uint16_t>(std::atoi(argv[2]));
  std::uint16_t relay_port = open_relay();
  if (std::strcmp(argv[1], "--relay") == 0) {
    std::printf("relaying %u\n", relay_port);
    std::fflush(stdout);
    relay_during([] {
      while (std::getchar() != EOF) {
      }
    });
    print_connections();
    return 0;
  }
  void* handle = ::dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "wire_scenario: %s\n", ::dlerror());
    return 2;
  }
  resolve(handle, lib.isinstalled, "capi20_isinstalled");
  resolve(handle, lib.set_driver, "capi20ext_set_driver");
  resolve(handle, lib.set_host, "capi20ext_set_host");
  resolve(handle, lib.set_port, "capi20ext_set_port");
  resolve(handle, lib.register_application, "capi20_register");
  resolve(handle, lib.release, "capi20_release");
  resolve(handle, lib.put_message, "capi20_put_message");
  resolve(handle, lib.get_message, "capi20_get_message");
  resolve(handle, waitformessage, "capi20_waitformessage");
  resolve(handle, lib.get_profile, "capi20_get_profile");
  resolve(handle, lib.get_manufacturer, "capi20_get_manufacturer");
  resolve(handle, lib.get_version, "capi20_get_version");
  resolve(handle, lib.get_serial_number, "capi20_get_serial_number");
  lib.wait_for_message = wait_seconds;
  relay_during([relay_port] { run_scenario(lib, relay_port); });
  print_connections();
  return 0;
}
