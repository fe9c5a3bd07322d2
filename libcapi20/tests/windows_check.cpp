// SPDX-License-Identifier: MIT
// The Windows build of the library against a host that misbehaves, under
// Wine: the emulated host answers the first LISTEN_REQ, then sends frames
// no host should (empty, shorter than a header, a length field beyond its
// frame, 5,000 bytes) and a good one; it drops every connection after the
// second. A message at the end of read-only memory fenced by a page that
// cannot be touched must go out as it is.
//   libcapi20_windows_check PORT
// Prints one line per step and "windows check: ok"; exit status 0 when
// every step gave what it should.
// Before anything that may bring windows.h.
#include <winsock2.h>

#include "entry_points.hpp"

#include "capi_bridge/capimsg.hpp"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace capimsg;

namespace {

unsigned appl = 0;
int failures = 0;

void check(bool good, const std::string& what) {
  std::printf("%s %s\n", good ? "ok  " : "FAIL", what.c_str());
  if (!good)
    ++failures;
}

// What the next get gives within 2 s: its info, and the message number of
// what came (-1 for none).
unsigned next(int& number) {
  timeval wait{2, 0};
  number = -1;
  unsigned waited = capi20_waitformessage(appl, &wait);
  if (waited != 0)
    return waited;
  unsigned char* m = nullptr;
  unsigned got = capi20_get_message(appl, &m);
  if (got == 0)
    number = m[4] == command::listen && m[5] == subcommand::conf ? get_u16(byte_view(m, 8), 6) : 0;
  return got;
}

void expect_next(unsigned info, int number, const std::string& what) {
  int got_number = -1;
  unsigned got = next(got_number);
  char line[160];
  std::snprintf(line, sizeof line, "%s: 0x%04x, LISTEN_CONF %d", what.c_str(), got, got_number);
  check(got == info && got_number == number, line);
}

// `message` at the end of a read-only page that a page of no access follows.
unsigned put_fenced(const bytes& message) {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  std::size_t page = system.dwPageSize;
  auto* base = static_cast<unsigned char*>(
      VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  unsigned char* start = base + page - message.size();
  std::memcpy(start, message.data(), message.size());
  DWORD old = 0;
  VirtualProtect(base, page, PAGE_READONLY, &old);
  VirtualProtect(base + page, page, PAGE_NOACCESS, &old);
  unsigned result = capi20_put_message(appl, start);
  VirtualFree(base, 0, MEM_RELEASE);
  return result;
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 2)
    return 2;
  char driver[] = "fritzbox";
  char host[] = "127.0.0.1";
  capi20ext_set_driver(driver);
  capi20ext_set_host(host);
  capi20ext_set_port(std::atoi(argv[1]));
  check(capi20_isinstalled() == 0, "installed");
  check(capi20_register(1, 7, 2048, &appl) == 0 && appl != 0, "registered");
  check(capi20_fileno(appl) != -1, "a socket for the caller to look at");

  bytes listen = build_listen_req(static_cast<std::uint16_t>(appl), 1, {1, 0, 4, 0, {}});
  check(put_fenced(listen) == 0, "LISTEN_REQ from fenced read-only memory");
  expect_next(0, 1, "the answer");
  expect_next(0x1102, -1, "an empty frame");
  expect_next(0x1102, -1, "a frame shorter than a header");
  expect_next(0x1102, -1, "a length field beyond its frame");
  expect_next(0x1102, -1, "a frame of 5,000 bytes");
  expect_next(0, 7, "the good frame after them");

  bytes resp = build_data_b3_resp(static_cast<std::uint16_t>(appl), 3, {0x10101, 0});
  check(capi20_put_message(appl, resp.data()) == 0x2001, "DATA_B3_RESP to nothing refused");
  bytes facility =
      build_facility(static_cast<std::uint16_t>(appl), 4, subcommand::req, {1, 1, bytes(2200, 1)});
  check(capi20_put_message(appl, facility.data()) == 0x1102, "a message over 2,173 bytes refused");

  listen = build_listen_req(static_cast<std::uint16_t>(appl), 2, {1, 0, 4, 0, {}});
  check(put_fenced(listen) == 0, "the connection goes on");
  expect_next(0, 2, "its answer");
  expect_next(0x1108, -1, "the host's close");
  check(capi20_put_message(appl, listen.data()) == 0x1108, "put after the close");
  check(capi20_release(appl) == 0, "released");
  std::printf("windows check: %s\n", failures == 0 ? "ok" : "FAILED");
  return failures == 0 ? 0 : 1;
}
