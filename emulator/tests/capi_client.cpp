// SPDX-License-Identifier: MIT
// Library calls for the tests. waitformessage always goes first: the
// library's get_message blocks for good on an empty queue.
#include "capi_client.hpp"

#include <capi20.h>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/time.h>
#include <vector>

using namespace capimsg;

void use_emulator(int port) {
  char driver[] = "fritzbox";
  char host[] = "127.0.0.1";
  capi20ext_set_driver(driver);
  capi20ext_set_host(host);
  capi20ext_set_port(port);
}

namespace {

void on_alarm(int) {}

// Runs `call` with a one-shot alarm whose handler lacks SA_RESTART, so a
// blocked receive inside the library returns with EINTR.
template <typename Call> unsigned under_alarm(std::chrono::milliseconds timeout, Call call) {
  struct sigaction action {};
  action.sa_handler = on_alarm;
  ::sigaction(SIGALRM, &action, nullptr);
  itimerval alarm{{0, 0},
                  {static_cast<time_t>(timeout.count() / 1000),
                   static_cast<suseconds_t>(timeout.count() % 1000 * 1000)}};
  ::setitimer(ITIMER_REAL, &alarm, nullptr);
  const unsigned result = call();
  const itimerval off{};
  ::setitimer(ITIMER_REAL, &off, nullptr);
  return result;
}

} // namespace

unsigned register_app(capi_app& app, unsigned max_logical, unsigned blocks, unsigned length,
                      std::chrono::milliseconds timeout) {
  return under_alarm(timeout,
                     [&] { return capi20_register(max_logical, blocks, length, &app.id); });
}

unsigned get_profile(unsigned controller, unsigned char* profile,
                     std::chrono::milliseconds timeout) {
  return under_alarm(timeout, [&] { return capi20_get_profile(controller, profile); });
}

std::uint16_t next_number(capi_app& app) {
  return ++app.number;
}

unsigned put(const capi_app& app, const bytes& message) {
  std::vector<unsigned char> buffer(4096, 0);
  std::copy(message.begin(), message.end(), buffer.begin());
  put_u16(buffer, 2, static_cast<std::uint16_t>(app.id));
  return capi20_put_message(app.id, buffer.data());
}

std::optional<bytes> get(const capi_app& app, std::chrono::milliseconds timeout) {
  timeval wait{static_cast<time_t>(timeout.count() / 1000),
               static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
  if (capi20_waitformessage(app.id, &wait) != 0) {
    return std::nullopt;
  }
  unsigned char* m = nullptr;
  if (capi20_get_message(app.id, &m) != 0) {
    return std::nullopt;
  }
  const std::uint16_t length = get_u16(byte_view(m, 2), 0);
  bytes copy(m, m + length);
  if (m[4] == command::data_b3 && m[5] == subcommand::ind && length >= data_b3_long_length) {
    // The library leaves the data where Data64 points.
    const auto* data = reinterpret_cast<const unsigned char*>(get_u64(copy, 22));
    copy.insert(copy.end(), data, data + get_u16(copy, 16));
  }
  return copy;
}

bytes expect(const capi_app& app, std::uint8_t command, std::uint8_t subcommand) {
  std::optional<bytes> m = get(app);
  if (!m) {
    ADD_FAILURE() << "appl " << app.id << ": nothing came, expected "
                  << message_name(command, subcommand);
    return {};
  }
  if ((*m)[4] != command || (*m)[5] != subcommand) {
    ADD_FAILURE() << "appl " << app.id << ": got " << describe(*m) << ", expected "
                  << message_name(command, subcommand);
    return {};
  }
  return *m;
}
