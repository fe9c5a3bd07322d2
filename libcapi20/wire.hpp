// SPDX-License-Identifier: MIT
// The "fritzbox" driver's protocol as the host sees it: frame headers, the
// three requests of the library's own, the replies to them, and the limits
// and info values the library answers with.
#pragma once

#include <capi_bridge/capi_fields.hpp>

#include <cstddef>
#include <cstdint>

namespace libcapi20 {

// Info values, named as the bridge names them where it has them.
enum info : unsigned {
  info_ok = 0x0000,
  info_os_resource_error = 0x1008, // register: no connection, no or a bad reply
  info_not_installed = 0x1009,     // no host configured or reachable
  info_illegal_appl_id = 0x1101,   // not an application of this process
  info_illegal_command = 0x1102,   // a message too short, too long or malformed
  info_queue_empty = 0x1104,       // nothing (whole) has arrived
  // The connection has ended; also, as in Debian's library, every
  // DATA_B3_IND buffer is held (get_message).
  info_host_gone = 0x1108,
  info_message_not_installed = 0x1109,     // get_profile: no host configured or reachable
  info_not_in_current_state = 0x2001,      // DATA_B3_RESP that answers no DATA_B3_IND held
  info_data_length_not_supported = 0x300C, // DATA_B3_REQ and its data beyond the frame limit
};

// Every frame: type, 16-bit length L, then L bytes.
constexpr std::uint8_t frame_type = 0x80;
constexpr std::size_t frame_header_size = 3;
// The driver's send buffer holds the frame header and at most this much:
// the message, and a DATA_B3_REQ's data after it.
constexpr std::size_t send_buffer_size = 128 + 2048;
constexpr std::size_t largest_frame_payload = 2173;
static_assert(largest_frame_payload == send_buffer_size - frame_header_size);

// Replies to register and get-profile: type, an 8-bit length N, N bytes.
constexpr std::size_t reply_header_size = 2;
constexpr std::size_t reply_appl_id = 2;
constexpr std::size_t reply_info = 16;
constexpr std::size_t register_reply_size = 18;
constexpr std::size_t profile_offset = 18;
constexpr std::size_t profile_size = 64;

// Application IDs the host may hand out.
constexpr unsigned lowest_appl_id = 1;
constexpr unsigned highest_appl_id = 1023;

// The three requests of the library's own, whole frames.
constexpr std::size_t register_request_size = 23;
constexpr std::size_t release_request_size = 17;
constexpr std::size_t profile_request_size = 21;

// Writes each request into `frame`, which holds its size.
void build_register_request(std::uint8_t* frame, unsigned max_logical_connections,
                            unsigned max_b_data_blocks, unsigned max_b_data_length);
void build_release_request(std::uint8_t* frame, unsigned appl_id);
void build_profile_request(std::uint8_t* frame, unsigned controller);

// Each application's receive buffers hold this much: a message and a
// DATA_B3_IND's data (whose length is 16 bits).
std::size_t receive_buffer_size(unsigned max_b_data_length);

} // namespace libcapi20
