// SPDX-License-Identifier: MIT
// capi-peer-bridge's way to the library: a capi-bridge of its own, driven
// through the client library's child_process with the cheapest request
// pattern we know: Puts ride along with Gets, replies are read through a
// buffer, and empty polls are answered by the get_mode.
#include "child.hpp"
#include "peer.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
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

child bridge;
get_mode mode = get_mode::poll;

// Replies are read through a buffer: one read takes all that have come.
std::uint8_t reply_buffer[1 << 16];
std::size_t reply_start = 0, reply_end = 0;

bool fill_replies(std::size_t wanted) {
  if (reply_end - reply_start >= wanted)
    return true;
  std::memmove(reply_buffer, reply_buffer + reply_start, reply_end - reply_start);
  reply_end -= reply_start;
  reply_start = 0;
  while (reply_end < wanted) {
    std::size_t got = read_some(bridge, reply_buffer + reply_end, sizeof reply_buffer - reply_end);
    if (got == 0)
      return false;
    reply_end += got;
  }
  return true;
}

// The next reply's info; its info, data and extra go into `body`.
std::uint32_t next_reply(bytes& body) {
  if (!fill_replies(4))
    fail("the bridge ended");
  std::size_t length = le32(reply_buffer + reply_start);
  if (length < 4 || length > sizeof reply_buffer - 4 || !fill_replies(4 + length))
    fail("the bridge's reply is cut short");
  body.assign(reply_buffer + reply_start + 4, reply_buffer + reply_start + 4 + length);
  reply_start += 4 + length;
  return le32(body.data());
}

// Requests written with the next batch, and the Puts among them.
bytes out;
unsigned puts_in_flight = 0;

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

// One round trip: the waiting Puts and `gets` Gets, or with `wait_seconds`
// above 0 the Puts and one W of up to that long. The messages they brought
// go to `fetched`.
void batch(std::size_t gets, double wait_seconds) {
  if (wait_seconds > 0) {
    auto milliseconds = static_cast<std::uint32_t>(std::ceil(wait_seconds * 1000));
    bytes w = frame({'W', static_cast<std::uint8_t>(milliseconds),
                     static_cast<std::uint8_t>(milliseconds >> 8),
                     static_cast<std::uint8_t>(milliseconds >> 16), 0});
    out.insert(out.end(), w.begin(), w.end());
    gets = 1;
  } else {
    bytes get = get_frame();
    for (std::size_t i = 0; i < gets; ++i)
      out.insert(out.end(), get.begin(), get.end());
  }
  if (!write_all(bridge, out.data(), out.size()))
    fail("the bridge stopped reading");
  out.clear();
  ++counts.round_trips;
  counts.gets += gets;
  bytes in;
  for (; puts_in_flight > 0; --puts_in_flight) {
    std::uint32_t info = next_reply(in);
    if (info != 0)
      fail("Put: " + std::string(info_text(static_cast<std::uint16_t>(info))));
  }
  for (std::size_t i = 0; i < gets; ++i) {
    std::uint32_t info = next_reply(in);
    if (info == 0) {
      in.erase(in.begin(), in.begin() + 4);
      fetched.push_back(in);
    } else if (info != info::queue_empty) {
      fail("Get: " + std::string(info_text(static_cast<std::uint16_t>(info))));
    }
  }
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
  bridge = start_child({options.bridge_path}, {});
  bytes open = open_frame("127.0.0.1", static_cast<std::uint16_t>(options.port));
  bytes reply;
  if (!write_all(bridge, open.data(), open.size()) || read_reply(bridge, reply) != 0 ||
      reply.size() < 8)
    fail("no application registered");
  appl_id = le32(reply.data() + 4);
}

void send(const bytes& message, const bytes& payload) {
  bytes request = put_frame(message, payload);
  out.insert(out.end(), request.begin(), request.end());
  ++puts_in_flight;
}

bool receive_until(bytes& in, double until) {
  if (fetched_next == fetched.size()) {
    fetched.clear();
    fetched_next = 0;
    if (!fetch_until(until))
      return false;
  }
  in = fetched[fetched_next++];
  return true;
}

// Answers still waiting go out first, with the Close.
void close_application() {
  bytes close = frame({'C'});
  out.insert(out.end(), close.begin(), close.end());
  write_all(bridge, out.data(), out.size());
  bytes reply;
  for (; puts_in_flight > 0; --puts_in_flight)
    next_reply(reply);
  next_reply(reply);
  finish_child(bridge);
}

double bridge_cpu_seconds() {
  std::ifstream schedstat("/proc/" + std::to_string(bridge.id()) + "/schedstat");
  double nanoseconds = 0;
  schedstat >> nanoseconds;
  return nanoseconds / 1e9;
}

long bridge_process_id() {
  return bridge.id();
}
