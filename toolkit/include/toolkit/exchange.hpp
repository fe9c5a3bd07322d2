// SPDX-License-Identifier: MIT
// Calls with both ends in one program and data pumped through them under
// flow control, for the tests, the demo, the soak command: place_call sets
// up a call between two bridges, exchange_data moves patterned data each
// way, digest shows that it arrived unchanged. Built on capi_bridge's call
// steps; failures throw capi_bridge::call_error.
#pragma once

#include "capi_bridge/calls.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace toolkit {

// The calls themselves are the client library's.
using capi_bridge::call;
using capi_bridge::pattern;
using capi_bridge::place_call;
using capi_bridge::place_echo_call;

// One end of a B3 connection in a data exchange.
struct b3_stream {
  capi_bridge::client* end = nullptr;
  std::uint32_t ncci = 0;
  capi_bridge::bytes outgoing; // sent in blocks of block_size
  std::size_t block_size = 2048;
  std::size_t window = 7;            // DATA_B3_REQs awaiting their DATA_B3_CONF, at most
  std::uint16_t handle_cycle = 8;    // Data handles 0..handle_cycle-1, used in turn
  std::size_t expected_incoming = 0; // bytes to receive before the exchange ends
  // Progress.
  std::size_t sent = 0;      // bytes put
  std::size_t confirmed = 0; // bytes confirmed
  std::size_t blocks_sent = 0;
  std::size_t blocks_confirmed = 0;
  capi_bridge::bytes incoming;
  std::chrono::milliseconds last_get_time{0}; // of the last Get, for reports
};

// Both ends of `c` sending `count` bytes each, each end's data in a pattern
// of its own (seeds 1 and 2), each expecting what the other sends.
struct two_way_data {
  b3_stream caller;
  b3_stream callee;
};
two_way_data both_ways(capi_bridge::client& caller, capi_bridge::client& callee, const call& c,
                       std::size_t count);

// Runs the streams, from one thread, until each has had all its outgoing data
// confirmed and has received its expected_incoming bytes. Each DATA_B3_IND is
// answered at once. Throws call_error on a DATA_B3_CONF that reports an error
// or confirms out of order, on any other message, on a refused request, or
// when nothing moves for `stall`. `progress` is called after every round that
// moved data.
void exchange_data(const std::vector<b3_stream*>& streams,
                   std::chrono::milliseconds stall = capi_bridge::step_timeout,
                   const std::function<void()>& progress = {});

// A 64-bit FNV-1a digest, to show that two byte streams are the same.
std::uint64_t digest(capi_bridge::byte_view data);

} // namespace toolkit
