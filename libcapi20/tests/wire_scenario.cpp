// SPDX-License-Identifier: MIT
// The whole call of the wire comparison and its transcript, on any system.
#include "wire_scenario.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

using namespace capimsg;

std::string hex(byte_view b, std::size_t masked_from, std::size_t masked_to) {
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

namespace {

// The library the scenario runs through.
const capi_library* library = nullptr;

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
}

unsigned appl = 0;
std::uint16_t number = 0;

void put(bytes message, const char* what) {
  put_u16(message, 2, static_cast<std::uint16_t>(appl));
  message.resize(message.size() + 4096, 0); // room the library may read
  say(std::string("put ") + what + " -> " +
      std::to_string(library->put_message(appl, message.data())));
}

// The next message, printed; a DATA_B3_IND with its data, and answered.
bytes get() {
  unsigned waited = library->wait_for_message(appl, 5);
  unsigned char* m = nullptr;
  unsigned got = waited == 0 ? library->get_message(appl, &m) : waited;
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
  unsigned result = library->get_profile(controller, p);
  say("get_profile " + std::to_string(controller) + " -> " + std::to_string(result) + " " +
      hex(byte_view(p, sizeof p)));
}

} // namespace

void run_scenario(const capi_library& lib, std::uint16_t relay_port) {
  library = &lib;
  char driver[] = "fritzbox";
  char host[] = "127.0.0.1";
  library->set_driver(driver);
  library->set_host(host);
  library->set_port(relay_port);
  say("isinstalled -> " + std::to_string(library->isinstalled()));
  unsigned char buffer[64] = {};
  // Whether it answers; what it answers differs on purpose (docs/libcapi20.md).
  say(std::string("manufacturer ") +
      (library->get_manufacturer(1, buffer) == buffer ? "answered" : "none"));
  library->get_version(1, buffer);
  say("version " + hex(byte_view(buffer, 16)));
  say("serial " + std::string(reinterpret_cast<char*>(library->get_serial_number(1, buffer))));
  unsigned registered = library->register_application(2, 7, 2048, &appl);
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
  say("release -> " + std::to_string(library->release(appl)));
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
    std::printf("c%lu %s %s\n", static_cast<unsigned long>(connection), direction,
                data_b3_req ? hex(f, 3 + 22, 3 + 30).c_str() : hex(f).c_str());
    at = end;
  }
}
