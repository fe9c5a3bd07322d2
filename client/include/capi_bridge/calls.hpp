// The steps of a call through a bridge, for programs and tests that place
// calls: listening, dialling, answering, B3 connections, data both ways with
// flow control, clearing. Each step waits for the message it expects and
// throws call_error, saying what came instead, when that message does not come.
#pragma once

#include "capi_bridge/client.hpp"

#include <functional>
#include <stdexcept>

namespace capi_bridge {

class call_error : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::chrono::milliseconds step_timeout{5000};

// CIP values and LISTEN_REQ masks.
inline constexpr std::uint16_t cip_unrestricted_digital = 2;
inline constexpr std::uint32_t cip_mask_unrestricted_digital = 1u << cip_unrestricted_digital;

// Waits up to `wait` for the next message and returns it with its B3 data;
// throws unless it is `command`/`subcommand`.
message_result expect(client& c, std::uint8_t command, std::uint8_t subcommand,
                      std::chrono::milliseconds wait = step_timeout);
// Puts a message; throws unless the library accepted it.
void put_ok(client& c, byte_view message, byte_view payload = {});

// LISTEN_REQ for `cip_mask` on `controller`; its LISTEN_CONF must say 0.
void listen(client& c, std::uint32_t controller, std::uint32_t cip_mask);
// CONNECT_REQ to `number`; the PLCI from its CONNECT_CONF, which must say 0.
std::uint32_t dial(client& c, std::uint32_t controller, const std::string& number,
                   std::uint16_t cip = cip_unrestricted_digital);
// A call offered to this application.
struct offer {
  capimsg::connect_ind ind;
  std::uint16_t message_number = 0; // of the CONNECT_IND, which the response repeats
};
// Waits for CONNECT_IND.
offer await_call(client& c);
// CONNECT_RESP accepting the offered call.
void answer(client& c, const offer& call);
// CONNECT_ACTIVE_IND for `plci`, answered.
void await_connected(client& c, std::uint32_t plci);
// CONNECT_B3_REQ on `plci`; the NCCI from its CONNECT_B3_CONF, which must say 0.
std::uint32_t connect_b3(client& c, std::uint32_t plci);
// CONNECT_B3_IND, accepted; its NCCI.
std::uint32_t accept_b3(client& c);
// CONNECT_B3_ACTIVE_IND for `ncci`, answered.
void await_b3_active(client& c, std::uint32_t ncci);
// DISCONNECT_REQ for `plci`; its DISCONNECT_CONF must say 0.
void hang_up(client& c, std::uint32_t plci);
// DISCONNECT_B3_IND for `ncci`, answered.
void await_b3_cleared(client& c, std::uint32_t ncci);
// DISCONNECT_IND for `plci`, answered; its reason.
std::uint16_t await_cleared(client& c, std::uint32_t plci);

// Both ends of a call with its B3 connection up.
struct call {
  std::uint32_t caller_plci = 0;
  std::uint32_t callee_plci = 0;
  std::uint32_t caller_ncci = 0;
  std::uint32_t callee_ncci = 0;
  capimsg::connect_ind offered; // as the callee saw it; empty on an echo call
};

// `callee` listens on `controller` for data calls, `caller` dials `number`,
// `callee` answers, `caller` sets up B3 and `callee` accepts it.
call place_call(client& caller, client& callee, const std::string& number,
                std::uint32_t controller = 1);
// A call to a number that answers by itself (an echo); B3 set up by the caller.
call place_echo_call(client& caller, const std::string& number, std::uint32_t controller = 1);

// One end of a B3 connection in a data exchange.
struct b3_stream {
  client* end = nullptr;
  std::uint32_t ncci = 0;
  bytes outgoing; // sent in blocks of block_size
  std::size_t block_size = 2048;
  std::size_t window = 7;            // DATA_B3_REQs awaiting their DATA_B3_CONF, at most
  std::uint16_t handle_cycle = 8;    // Data handles 0..handle_cycle-1, used in turn
  std::size_t expected_incoming = 0; // bytes to receive before the exchange ends
  // Progress.
  std::size_t sent = 0;      // bytes put
  std::size_t confirmed = 0; // bytes confirmed
  std::size_t blocks_sent = 0;
  std::size_t blocks_confirmed = 0;
  bytes incoming;
  std::chrono::milliseconds last_get_time{0}; // of the last Get, for reports
};

// Both ends of `c` sending `count` bytes each, each end's data in a pattern
// of its own (seeds 1 and 2), each expecting what the other sends.
struct two_way_data {
  b3_stream caller;
  b3_stream callee;
};
two_way_data both_ways(client& caller, client& callee, const call& c, std::size_t count);

// Runs the streams, from one thread, until each has had all its outgoing data
// confirmed and has received its expected_incoming bytes. Each DATA_B3_IND is
// answered at once. Throws call_error on a DATA_B3_CONF that reports an error
// or confirms out of order, on any other message, on a refused request, or
// when nothing moves for `stall`. `progress` is called after every round that
// moved data.
void exchange_data(const std::vector<b3_stream*>& streams,
                   std::chrono::milliseconds stall = step_timeout,
                   const std::function<void()>& progress = {});

// `size` bytes of varied content, the same for the same seed.
bytes pattern(std::uint32_t seed, std::size_t size);
// A 64-bit FNV-1a digest, to show that two byte streams are the same.
std::uint64_t digest(byte_view data);

} // namespace capi_bridge
