// SPDX-License-Identifier: MIT
// What the client's transport (client.cpp) and its rules about replies
// (replies.cpp) share: the protocol's numbers the client checks, the
// bridge's own info values, and the state the threads of one client share.
// Not installed.
#pragma once

#include "capi_bridge/client.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace capi_bridge {

namespace client_detail {

namespace cmd = capimsg::command;
namespace sub = capimsg::subcommand;

inline constexpr std::size_t max_request_body = 0x100000;
// The largest reply any request can bring: a message and its B3 data stay
// far below this; anything longer is not a reply of the bridge.
inline constexpr std::size_t max_reply_body = 0x100000;
inline constexpr std::size_t open_result_size = 5;
inline constexpr std::size_t profile_size = 64;
inline constexpr std::uint32_t data_b3_limit = 2048;
inline constexpr std::uint16_t smallest_b3_block_size = 128;
// The longest message length field Put takes.
inline constexpr std::size_t max_message_length = 8192;
// The most of a message, a DATA_B3_REQ's data included, that the library
// sends intact; the bridge refuses more.
inline constexpr std::size_t library_send_limit = 2173;
// The message fields the client reads itself.
namespace field = capi_fields;

// The bridge's own values (see outcome in the header).
enum : std::uint32_t {
  info_logical_block_too_small = 0x1002,
  info_buffer_too_large = 0x1003,
  info_os_resource_error = 0x1008,
  info_not_installed = 0x1009,
  info_illegal_appl_id = 0x1101,
  info_illegal_command = 0x1102,
  info_queue_busy = 0x1103,
  info_queue_empty = 0x1104,
  info_host_gone = 0x1108,
  info_not_in_current_state = 0x2001,
  info_data_length_not_supported = 0x300C,
};

// Whether `message` is a CAPI message of that command and subcommand.
bool is(byte_view message, std::uint8_t command, std::uint8_t subcommand);
// "0x1104" and the like.
std::string hex(std::uint32_t value);
// Calls `record(info, data)` for each record of a batch reply's data, in
// order; what is wrong with them, empty if nothing.
std::string each_record(const bytes& data,
                        const std::function<void(std::uint32_t info, bytes data)>& record);
// What is wrong with a reply's data for its request kind; empty if nothing.
std::string check_reply(std::uint8_t kind, std::uint32_t info, const bytes& data);

} // namespace client_detail

struct client::shared {
  std::mutex write_mutex; // writing a request and taking its number
  std::mutex read_mutex;  // taking replies, in order, and the books below
  std::condition_variable reply_turn;
  std::uint64_t written = 0; // requests written (write_mutex)
  // Replies taken: changed with read_mutex held, and announced on
  // turn_passed, which settle() waits on without read_mutex (a thread
  // that reads holds it until its reply comes).
  std::atomic<std::uint64_t> taken{0};
  std::mutex turn_mutex;
  std::condition_variable turn_passed;
  void pass_turn(std::uint64_t now_taken) {
    {
      std::lock_guard lock(turn_mutex);
      taken = now_taken;
    }
    turn_passed.notify_all();
  }
  std::atomic<int> in_flight{0};
  std::atomic<bool> gone{false};
  std::mutex gone_mutex; // gone_reason, and ending the process
  std::string gone_reason;
  std::atomic<std::uint32_t> appl_id{0};
  std::atomic<std::uint16_t> message_number{0};
  std::atomic<support> waiting_get{support::unknown};
  // A thread's waiting Get is out: another thread's would end it early, and
  // each would then ask again at once, in turn, without end.
  std::mutex waiting_mutex;
  std::condition_variable waiting_done;
  bool waiting_out = false; // waiting_mutex
  std::atomic<support> batch{support::unknown};
  // Requests written by post() whose replies have not been taken, oldest
  // first: the thread whose turn it is to read takes each, in its turn.
  struct posted {
    std::uint64_t number; // the order it was written in
    bytes body;
    std::function<void(const raw_reply&)> in_order;
  };
  std::mutex posted_mutex;
  std::deque<posted> posted_requests; // posted_mutex
};

} // namespace capi_bridge
