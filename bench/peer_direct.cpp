// SPDX-License-Identifier: MIT
// capi-peer-direct's way to the library: linked, as a program would use it
// without the bridge, blocking in capi20_waitformessage until a message comes.
#include "peer.hpp"

#include <capi20.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

using namespace capimsg;

request_counts counts;
unsigned appl_id = 0;

namespace {

constexpr unsigned window = 7;
constexpr unsigned block_size = 2048;

// The library reads a full send buffer's worth whatever the message's length,
// and takes a DATA_B3_REQ's data from right behind the message.
unsigned char put_buffer[4096];

} // namespace

void open_application(const peer_options& options) {
  char driver[] = "fritzbox";
  char host[] = "127.0.0.1";
  capi20ext_set_driver(driver);
  capi20ext_set_host(host);
  capi20ext_set_port(options.port);
  if (capi20_isinstalled() != 0 || capi20_register(2, window, block_size, &appl_id) != 0)
    fail("no application registered");
  if (options.nodelay) {
    const int on = 1;
    if (setsockopt(capi20_fileno(appl_id), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
      fail("TCP_NODELAY cannot be set on the library's socket");
  }
}

void send(const bytes& message, const bytes& payload) {
  std::memset(put_buffer, 0, message.size() + payload.size());
  std::memcpy(put_buffer, message.data(), message.size());
  if (!payload.empty())
    std::memcpy(put_buffer + message.size(), payload.data(), payload.size());
  unsigned info = capi20_put_message(appl_id, put_buffer);
  if (info != 0)
    fail("capi20_put_message: " + std::string(info_text(static_cast<std::uint16_t>(info))));
}

bool receive_until(bytes& in, double until) {
  double left = until - now_seconds();
  if (left < 0)
    left = 0;
  auto whole = static_cast<long>(left);
  timeval wait = {whole, static_cast<long>((left - static_cast<double>(whole)) * 1e6)};
  if (capi20_waitformessage(appl_id, &wait) != 0)
    return false;
  unsigned char* m = nullptr;
  unsigned info = capi20_get_message(appl_id, &m);
  if (info != 0 || m == nullptr)
    fail("capi20_get_message: " + std::string(info_text(static_cast<std::uint16_t>(info))) +
         " (has the host closed the connection?)");
  std::uint16_t length = get_u16(byte_view(m, 2), 0);
  in.assign(m, m + length);
  if (m[4] == command::data_b3 && m[5] == subcommand::ind && length >= data_b3_long_length) {
    const auto* data = reinterpret_cast<const unsigned char*>(get_u64(in, 22));
    in.insert(in.end(), data, data + get_u16(in, 16));
  }
  return true;
}

void close_application() {
  capi20_release(appl_id);
}

// Run with capi-bridge-run, the program's library calls are answered by
// bridges it starts: the CPU of its children that are bridges.
double bridge_cpu_seconds() {
  double nanoseconds = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream children(task.path() / "children");
    for (long pid = 0; children >> pid;) {
      std::string proc = "/proc/" + std::to_string(pid);
      std::error_code ignored;
      if (std::filesystem::read_symlink(proc + "/exe", ignored).filename() != "capi-bridge")
        continue;
      double used = 0;
      std::ifstream(proc + "/schedstat") >> used;
      nanoseconds += used;
    }
  }
  return nanoseconds / 1e9;
}

long bridge_process_id() {
  return 0;
}
