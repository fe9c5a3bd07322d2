// SPDX-License-Identifier: MIT
// capi-peer-bridge's way to the library: a capi-bridge of its own, driven
// through the C++ client library as a user would drive it, with the cheapest
// request pattern it allows: Puts ride along with Gets in one
// client::requests call (one write, replies taken in order), and empty polls
// are answered by the get_mode.
#include "capi_bridge/client.hpp"
#include "peer.hpp"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <fstream>
#include <optional>
#include <vector>

using namespace capimsg;

request_counts counts;
unsigned appl_id = 0;

namespace {

constexpr std::size_t window = 7;
constexpr std::size_t most_gets_per_batch = window + 1;
constexpr double longest_backoff = 0.010; // the client library's, without W
constexpr double backoff_step = 0.001;
constexpr double khz_period = 0.001;
constexpr double longest_wait = 60; // what W takes

std::optional<capi_bridge::client> bridge;
get_mode mode = get_mode::poll;

// Requests to go with the next batch: the Puts waiting, then its Gets.
std::vector<bytes> out;
std::size_t puts_waiting = 0;

// Messages that a batch brought and that are not yet handed out.
std::vector<bytes> fetched;
std::size_t fetched_next = 0;
std::size_t last_brought = 0;

void sleep_until(double when) {
  double whole = std::floor(when);
  timespec t = {static_cast<time_t>(whole), static_cast<long>((when - whole) * 1e9)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) != 0) {
  }
}

[[noreturn]] void failed(const char* what, const capi_bridge::raw_reply& reply) {
  if (!reply.status.ok() && reply.status.from == capi_bridge::source::transport)
    fail(std::string(what) + ": " + reply.status.text());
  fail(std::string(what) + ": " + std::string(info_text(static_cast<std::uint16_t>(reply.info))));
}

// Sends what `out` holds, the Puts first, and checks their replies when
// `check_puts`; the messages the Gets brought go to `fetched`.
void send_out(bool check_puts = true) {
  if (out.empty())
    return;
  std::vector<capi_bridge::raw_reply> replies = bridge->requests(out, [](const auto&) {});
  ++counts.round_trips;
  for (std::size_t i = 0; i < replies.size(); ++i) {
    capi_bridge::raw_reply& reply = replies[i];
    bool ok = reply.status.from != capi_bridge::source::transport;
    if (i < puts_waiting) {
      if (check_puts && (!ok || reply.info != 0))
        failed("Put", reply);
    } else if (ok && reply.info == 0) {
      fetched.push_back(std::move(reply.data));
    } else if (!ok || reply.info != info::queue_empty) {
      failed("Get", reply);
    }
  }
  out.clear();
  puts_waiting = 0;
}

// One round trip: the waiting Puts and `gets` Gets, or with `wait_seconds`
// above 0 the Puts and one W of up to that long.
void batch(std::size_t gets, double wait_seconds) {
  if (wait_seconds > 0) {
    auto milliseconds = static_cast<std::uint32_t>(std::ceil(wait_seconds * 1000));
    bytes w = {'W'};
    append_u32(w, milliseconds);
    out.push_back(std::move(w));
    gets = 1;
  } else {
    out.insert(out.end(), gets, bytes{'G'});
  }
  counts.gets += gets;
  send_out();
  last_brought = fetched.size();
  counts.empty_gets += gets - fetched.size();
}

// A batch asks for one message more than the last brought. After one that
// brought nothing comes the mode's pause, or with W, a W alone: a W behind
// Gets that brought messages would hold them back until the next came, and
// one kept pending across batches (each batch's requests ending it early)
// measured slower in row 4 than this.
bool fetch_until(double until) {
  double pause = 0;
  for (;;) {
    double left = until - now_seconds();
    if (mode == get_mode::wait && last_brought == 0 && left > 0)
      batch(1, std::min(left, longest_wait));
    else
      batch(std::min(last_brought + 1, most_gets_per_batch), 0);
    double now = now_seconds();
    if (!fetched.empty() || now >= until)
      return !fetched.empty();
    if (mode == get_mode::backoff) {
      if (pause > 0)
        sleep_until(std::min(now + pause, until));
      pause = std::min(pause + backoff_step, longest_backoff);
    } else if (mode == get_mode::khz) {
      // Polls keep to a millisecond grid, whatever a poll costs.
      static double next_tick = 0;
      next_tick += khz_period;
      if (next_tick < now)
        next_tick = now + khz_period;
      sleep_until(std::min(next_tick, until));
    }
  }
}

} // namespace

void open_application(const peer_options& options) {
  mode = options.mode;
  capi_bridge::client_options start;
  start.command = {options.bridge_path};
  bridge.emplace(start);
  capi_bridge::open_result opened =
      bridge->open("127.0.0.1", static_cast<std::uint16_t>(options.port), 2);
  if (!opened.status.ok())
    fail("no application registered: " + opened.status.text());
  appl_id = opened.appl_id;
}

void send(const bytes& message, const bytes& payload) {
  bytes request = {'M'};
  request.insert(request.end(), message.begin(), message.end());
  request.insert(request.end(), payload.begin(), payload.end());
  out.insert(out.begin() + static_cast<std::ptrdiff_t>(puts_waiting), std::move(request));
  ++puts_waiting;
}

bool receive_until(bytes& in, double until) {
  if (fetched_next == fetched.size()) {
    fetched.clear();
    fetched_next = 0;
    if (!fetch_until(until))
      return false;
  }
  in = std::move(fetched[fetched_next++]);
  return true;
}

// Answers still waiting go out first, then the Close. Their results are not
// checked: a DATA_B3_RESP after the call has been cleared may be refused.
void close_application() {
  send_out(false);
  capi_bridge::outcome closed = bridge->close();
  if (!closed.ok())
    fail("Close: " + closed.text());
}

double bridge_cpu_seconds() {
  std::ifstream schedstat("/proc/" + std::to_string(bridge->process_id()) + "/schedstat");
  double nanoseconds = 0;
  schedstat >> nanoseconds;
  return nanoseconds / 1e9;
}

long bridge_process_id() {
  return bridge->process_id();
}
