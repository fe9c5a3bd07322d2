// SPDX-License-Identifier: MIT
// Both ends of a call in one program, and the data exchange over them.
#include "toolkit/exchange.hpp"

#include <algorithm>
#include <thread>

namespace toolkit {

using namespace capi_bridge;

namespace {

namespace cmd = capimsg::command;
namespace sub = capimsg::subcommand;

std::string who(const client& c) {
  return "appl " + std::to_string(c.appl_id());
}

std::size_t block_length(const b3_stream& s, std::size_t block) {
  std::size_t start = block * s.block_size;
  return std::min(s.block_size, s.outgoing.size() - start);
}

bool finished(const b3_stream& s) {
  return s.confirmed == s.outgoing.size() && s.incoming.size() >= s.expected_incoming;
}

// Puts DATA_B3_REQs while the window has room; true if any went.
bool send_some(b3_stream& s) {
  bool moved = false;
  while (s.sent < s.outgoing.size() && s.blocks_sent - s.blocks_confirmed < s.window) {
    std::size_t length = block_length(s, s.blocks_sent);
    auto handle = static_cast<std::uint16_t>(s.blocks_sent % s.handle_cycle);
    send_block(*s.end, s.ncci, handle, byte_view(s.outgoing).subspan(s.sent, length));
    s.sent += length;
    ++s.blocks_sent;
    moved = true;
  }
  return moved;
}

// Takes what has come in, the first message waited for up to `wait`; true
// if anything came.
bool receive_some(b3_stream& s, std::chrono::milliseconds wait = {}) {
  bool moved = false;
  for (int taken = 0; taken < 32; ++taken) {
    auto asked = std::chrono::steady_clock::now();
    message_result m = taken == 0 && wait.count() > 0 ? s.end->get(wait) : s.end->get();
    s.last_get_time = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - asked);
    if (m.empty())
      break;
    if (!m.status.ok())
      throw call_error(who(*s.end) + ": Get: " + m.status.text());
    moved = true;
    const bytes& message = m.message;
    if (message[4] == cmd::data_b3 && message[5] == sub::conf) {
      auto conf = capimsg::read_data_b3_conf(message);
      auto expected = static_cast<std::uint16_t>(s.blocks_confirmed % s.handle_cycle);
      if (!conf || conf->ncci != s.ncci || conf->info != 0 || conf->handle != expected ||
          s.blocks_confirmed == s.blocks_sent)
        throw call_error(who(*s.end) + ": unexpected " + capimsg::describe(message) +
                         " (awaiting the confirmation of handle " + std::to_string(expected) + ")");
      s.confirmed += block_length(s, s.blocks_confirmed);
      ++s.blocks_confirmed;
    } else if (message[4] == cmd::data_b3 && message[5] == sub::ind) {
      bytes data = receive_block(*s.end, s.ncci, &m);
      s.incoming.insert(s.incoming.end(), data.begin(), data.end());
    } else {
      throw call_error(who(*s.end) + ": unexpected " + capimsg::describe(message) +
                       " during the data exchange");
    }
  }
  return moved;
}

} // namespace

void exchange_data(const std::vector<b3_stream*>& streams, std::chrono::milliseconds stall,
                   const std::function<void()>& progress) {
  auto last_move = std::chrono::steady_clock::now();
  // When nothing moves, one end in turn waits for its next message: for a
  // while when it is the only one, briefly when another may need serving.
  const auto wait =
      streams.size() == 1 ? std::chrono::milliseconds(100) : std::chrono::milliseconds(2);
  std::size_t turn = 0;
  while (!std::all_of(streams.begin(), streams.end(), [](auto* s) { return finished(*s); })) {
    bool moved = false;
    for (b3_stream* s : streams)
      moved = send_some(*s) || moved;
    for (b3_stream* s : streams)
      moved = receive_some(*s) || moved;
    if (!moved) {
      b3_stream* waiting = streams[turn++ % streams.size()];
      moved = !finished(*waiting) && receive_some(*waiting, wait);
    }
    auto now = std::chrono::steady_clock::now();
    if (moved) {
      last_move = now;
      if (progress)
        progress();
      continue;
    }
    if (now - last_move > stall) {
      // How long the last empty Get took tells a host that sends nothing
      // from a library that waits inside Get.
      std::string state;
      for (const b3_stream* s : streams)
        state += "; " + who(*s->end) + ": " + std::to_string(s->confirmed) + " bytes confirmed, " +
                 std::to_string(s->incoming.size()) + " received, last Get took " +
                 std::to_string(s->last_get_time.count()) + " ms";
      throw call_error("the data exchange stalled for " + std::to_string(stall.count()) + " ms" +
                       state);
    }
  }
}

two_way_data both_ways(client& caller, client& callee, const call& c, std::size_t count) {
  two_way_data d;
  d.caller.end = &caller;
  d.caller.ncci = c.caller_ncci;
  d.caller.outgoing = pattern(1, count);
  d.caller.expected_incoming = count;
  d.callee.end = &callee;
  d.callee.ncci = c.callee_ncci;
  d.callee.outgoing = pattern(2, count);
  d.callee.expected_incoming = count;
  return d;
}

std::uint64_t digest(byte_view data) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (std::uint8_t b : data) {
    h ^= b;
    h *= 0x100000001b3ull;
  }
  return h;
}

} // namespace toolkit
