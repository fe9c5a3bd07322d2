// SPDX-License-Identifier: MIT
// One whole call driven through a libcapi20 given by its path, with every
// byte between library and host recorded by a relay in this process:
//   wire_scenario LIBRARY PORT
// LIBRARY is loaded with dlopen; the host listens on 127.0.0.1:PORT (the
// emulator, with its echo number 999). Writes on standard output what each
// call returned and got, then each connection's frames both ways. Run once
// with Debian's library and once with ours, the outputs must be the same.
// Two things differ by design and are written as xx: the DataHandle a
// DATA_B3_IND carries to the caller (each library's own buffer index), and
// Data64 of a DATA_B3_REQ on the wire (Debian's library sends the caller's
// address, ours 0). Exit status 0 when the scenario ran to its end.
#include "capi_bridge/capimsg.hpp"

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

struct library {
  unsigned (*isinstalled)();
  void (*set_driver)(char*);
  void (*set_host)(char*);
  void (*set_port)(int);
  unsigned (*register_application)(unsigned, unsigned, unsigned, unsigned*);
  unsigned (*release)(unsigned);
  unsigned (*put_message)(unsigned, unsigned char*);
  unsigned (*get_message)(unsigned, unsigned char**);
  unsigned (*waitformessage)(unsigned, timeval*);
  unsigned (*get_profile)(unsigned, unsigned char*);
  unsigned char* (*get_manufacturer)(unsigned, unsigned char*);
  unsigned char* (*get_version)(unsigned, unsigned char*);
  unsigned char* (*get_serial_number)(unsigned, unsigned char*);
} lib;

template <typename Function> void resolve(void* handle, Function& slot, const char* name) {
  slot = reinterpret_cast<Function>(::dlsym(handle, name));
  if (slot == nullptr) {
    std::fprintf(stderr, "wire_scenario: %s missing\n", name);
    std::exit(2);
  }
}

// Hex, two digits a byte; bytes from `masked_from` to `masked_to` as xx.
std::string hex(byte_view b, std::size_t masked_from = 0, std::size_t masked_to = 0) {
  std::string s;
  char digits[3];
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (i >= masked_from && i < masked_to) {
      s += "xx";
    } else {
      std::snprintf(digits, sizeof digits, "%02x", b[i]);
      s += digits;
    }
  }
  return s;
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

// The library's calls wait for the host's answers, so the relay runs in a
// thread of its own until the scenario has ended.
std::thread relay_thread;
std::atomic<bool> relay_stop{false};

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
}

unsigned appl = 0;
std::uint16_t number = 0;

void put(bytes message, const char* what) {
  put_u16(message, 2, static_cast<std::uint16_t>(appl));
  message.resize(message.size() + 4096, 0); // room the library may read
  say(std::string("put ") + what + " -> " + std::to_string(lib.put_message(appl, message.data())));
}

// The next message, printed; a DATA_B3_IND with its data, and answered.
bytes get() {
  timeval wait{5, 0};
  unsigned waited = lib.waitformessage(appl, &wait);
  unsigned char* m = nullptr;
  unsigned got = waited == 0 ? lib.get_message(appl, &m) : waited;
  if (got != 0 || m == nullptr) {
    say("get -> " + std::to_string(got));
    return {};
  }
  std::uint16_t length = get_u16(byte_view(m, 2), 0);
  bytes message(m, m + length);
  std::string line = "get " + message_name(m[4], m[5]) + " ";
  if (m[4] == command::data_b3 && m[5] == subcommand::ind) {
    std::uint64_t address = 0;
    std::memcpy(&address, m + 22, sizeof address);
    const auto* data = reinterpret_cast<const std::uint8_t*>(address);
    // The DataHandle at 18..19 and Data64 after it are the library's own.
    line += hex(message, 18, 20).substr(0, 44) + "xxxxxxxxxxxxxxxx data " +
            hex(byte_view(data, get_u16(message, 16)));
    say(line);
    bytes resp = build_data_b3_resp(static_cast<std::uint16_t>(appl), 9,
                                    {get_u32(message, 8), get_u16(message, 18)});
    put(resp, "DATA_B3_RESP");
  } else {
    say(line + hex(message));
  }
  return message;
}

void profile(unsigned controller) {
  unsigned char p[64] = {};
  unsigned result = lib.get_profile(controller, p);
  say("get_profile " + std::to_string(controller) + " -> " + std::to_string(result) + " " +
      hex(byte_view(p, sizeof p)));
}

void scenario(std::uint16_t relay_port) {
  char driver[] = "fritzbox";
  char host[] = "127.0.0.1";
  lib.set_driver(driver);
  lib.set_host(host);
  lib.set_port(relay_port);
  say("isinstalled -> " + std::to_string(lib.isinstalled()));
  unsigned char buffer[64] = {};
  say("manufacturer " + std::string(reinterpret_cast<char*>(lib.get_manufacturer(1, buffer))));
  lib.get_version(1, buffer);
  say("version " + hex(byte_view(buffer, 16)));
  say("serial " + std::string(reinterpret_cast<char*>(lib.get_serial_number(1, buffer))));
  unsigned registered = lib.register_application(2, 7, 2048, &appl);
  say("register -> " + std::to_string(registered) + " appl " + std::to_string(appl));
  profile(0);
  profile(1);
  put(build_listen_req(0, ++number, {1, 0, 1u << 2, 0, {}}), "LISTEN_REQ");
  get();
  put(build_connect_req(0, ++number, {1, 2, {0, 0, "999"}, {}, std::nullopt}), "CONNECT_REQ");
  bytes conf = get();
  std::uint32_t plci = conf.size() >= 12 ? get_u32(conf, 8) : 0;
  get(); // CONNECT_ACTIVE_IND
  put(build_address_only(0, 1, command::connect_active, subcommand::resp, plci),
      "CONNECT_ACTIVE_RESP");
  put(build_b3_ncpi(0, ++number, command::connect_b3, subcommand::req, {plci, {}}),
      "CONNECT_B3_REQ");
  conf = get();
  std::uint32_t ncci = conf.size() >= 12 ? get_u32(conf, 8) : 0;
  get(); // CONNECT_B3_ACTIVE_IND
  put(build_address_only(0, 1, command::connect_b3_active, subcommand::resp, ncci),
      "CONNECT_B3_ACTIVE_RESP");

  // Data three ways: Data64 pointing elsewhere, the 22-byte form with the
  // data after it, the 30-byte form with Data64 0 and the data after it.
  bytes elsewhere(1500);
  for (std::size_t i = 0; i < elsewhere.size(); ++i)
    elsewhere[i] = static_cast<std::uint8_t>(i * 31 + 7);
  bytes by_pointer =
      build_data_b3(0, ++number, subcommand::req,
                    {ncci, 1, 0, reinterpret_cast<std::uintptr_t>(elsewhere.data()), {}});
  put_u16(by_pointer, 16, static_cast<std::uint16_t>(elsewhere.size()));
  put(by_pointer, "DATA_B3_REQ by Data64");
  get();
  get();
  put(build_data_b3(0, ++number, subcommand::req, {ncci, 2, 0, std::nullopt, bytes(22, 0x5a)}),
      "DATA_B3_REQ 22 bytes");
  get();
  get();
  put(build_data_b3(0, ++number, subcommand::req, {ncci, 3, 0, 0, bytes(2048, 0xa5)}),
      "DATA_B3_REQ 30 bytes");
  get();
  get();

  put(build_disconnect_req(0, ++number, plci), "DISCONNECT_REQ");
  get(); // DISCONNECT_CONF
  bytes ind = get();
  put(build_address_only(0, 1, command::disconnect_b3, subcommand::resp, ncci),
      "DISCONNECT_B3_RESP");
  ind = get();
  put(build_address_only(0, 1, command::disconnect, subcommand::resp, plci), "DISCONNECT_RESP");
  say("release -> " + std::to_string(lib.release(appl)));
  profile(1);
}

// Frames of a connection's byte stream: those of the library's own replies
// have a 2-byte header, all others 3.
void print_frames(const char* direction, std::size_t connection, const bytes& stream,
                  std::size_t short_headed) {
  std::size_t at = 0;
  for (std::size_t frame = 0; at < stream.size(); ++frame) {
    bool short_header = frame < short_headed;
    std::size_t header = short_header ? 2 : 3;
    std::size_t length =
        at + header > stream.size() ? 0 : (short_header ? stream[at + 1] : get_u16(stream, at + 1));
    std::size_t end = std::min(stream.size(), at + header + length);
    byte_view f(stream.data() + at, end - at);
    bool data_b3_req = !short_header && f.size() >= 3 + 30 && f[7] == command::data_b3 &&
                       f[8] == subcommand::req && get_u16(f, 3) >= 30;
    std::printf("c%zu %s %s\n", connection, direction,
                data_b3_req ? hex(f, 3 + 22, 3 + 30).c_str() : hex(f).c_str());
    at = end;
  }
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: wire_scenario LIBRARY PORT\n");
    return 2;
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
  resolve(handle, lib.waitformessage, "capi20_waitformessage");
  resolve(handle, lib.get_profile, "capi20_get_profile");
  resolve(handle, lib.get_manufacturer, "capi20_get_manufacturer");
  resolve(handle, lib.get_version, "capi20_get_version");
  resolve(handle, lib.get_serial_number, "capi20_get_serial_number");
  host_port = static_cast<std::uint16_t>(std::atoi(argv[2]));
  std::uint16_t relay_port = open_relay();
  relay_thread = std::thread([] {
    while (!relay_stop)
      relay(50);
    relay(200); // whatever is still on its way
  });
  scenario(relay_port);
  relay_stop = true;
  relay_thread.join();
  for (std::size_t i = 0; i < connections.size(); ++i) {
    const joined& c = connections[i];
    // The first request tells the connection's kind: a registration's
    // connection has one short-headed reply, a control connection only such.
    bool registration = c.to_host.size() >= 14 && c.to_host[13] == 0x09;
    std::size_t short_headed = registration ? 1 : c.to_library.size();
    print_frames("L>H", i + 1, c.to_host, 0);
    print_frames("H>L", i + 1, c.to_library, short_headed);
  }
  return 0;
}
