// SPDX-License-Identifier: MIT
// The steps of a call through a bridge, for programs that place or answer
// calls: listening, dialling, answering, B3 connections, clearing. Each step
// waits for the message it expects and throws call_error, saying what came
// instead, when that message does not come.
#pragma once

#include "capi_bridge/client.hpp"

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

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
// Gets messages until one of each name (e.g. "DATA_B3_IND") has come, in
// any order, each within `wait`; returns them by name. Any other message,
// or a Get that fails, throws.
std::map<std::string, message_result> expect_all(client& c, const std::vector<std::string>& names,
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
// DATA_B3_REQ carrying `block` (at most 2048 bytes) under Data handle
// `handle`, in the 30-byte form; the library must accept it.
void send_block(client& c, std::uint32_t ncci, std::uint16_t handle, byte_view block);
// The DATA_B3_CONF for `handle` (`got`, or the next message) must say 0.
void block_confirmed(client& c, std::uint32_t ncci, std::uint16_t handle,
                     const message_result* got = nullptr);
// The data of a DATA_B3_IND for `ncci` (`got`, or the next message),
// answered with DATA_B3_RESP.
bytes receive_block(client& c, std::uint32_t ncci, const message_result* got = nullptr);
// DISCONNECT_B3_REQ for `ncci`; its DISCONNECT_B3_CONF must say 0.
void clear_b3(client& c, std::uint32_t ncci);
// DISCONNECT_REQ for `plci`; its DISCONNECT_CONF must say 0.
void hang_up(client& c, std::uint32_t plci);
// DISCONNECT_B3_IND for `ncci`, answered.
void await_b3_cleared(client& c, std::uint32_t ncci);
// DISCONNECT_IND for `plci`, answered; its reason.
std::uint16_t await_cleared(client& c, std::uint32_t plci);

// Both ends of a call with its B3 connection up (the callee's are 0 on an
// echo call).
struct call {
  std::uint32_t caller_plci = 0;
  std::uint32_t caller_ncci = 0;
  std::uint32_t callee_plci = 0;
  std::uint32_t callee_ncci = 0;
  capimsg::connect_ind offered; // as the callee saw it
};
// `callee` listens on `controller` for data calls, `caller` dials `number`,
// `callee` answers, `caller` sets up B3 and `callee` accepts it.
call place_call(client& caller, client& callee, const std::string& number,
                std::uint32_t controller = 1);
// A call to a number that answers by itself (the emulated host's echo); B3
// set up by the caller.
call place_echo_call(client& caller, const std::string& number, std::uint32_t controller = 1);

// `size` bytes of varied content, the same for the same seed.
bytes pattern(std::uint32_t seed, std::size_t size);

} // namespace capi_bridge
