// SPDX-License-Identifier: MIT
// What a Put's message must be before the library sees it: the one copy of
// these rules, for the bridge (which refuses such a Put) and the CAPI
// interface (which refuses it before it writes the Put). No state: the
// books on Data handles and on outstanding DATA_B3_IND are each side's own.
#pragma once

#include "capi_bridge/capi_fields.hpp"

#include <cstddef>
#include <cstdint>

namespace capi_fields {

// The longest message length field Put takes.
constexpr std::size_t max_message_length = 8192;
// Debian's library copies at most this many bytes of a message, a
// DATA_B3_REQ's data included, into its send buffer, then sends the
// message's full length from there: whatever lies beyond would go out as
// stack memory, with success reported. Such messages stop before it.
constexpr std::size_t library_send_limit = 2173;
// The largest block of B3 data the bridge and the library carry.
constexpr std::uint16_t largest_b3_block = 2048;

constexpr std::uint32_t put_passes = 0;
constexpr std::uint32_t put_illegal_command = 0x1102;
constexpr std::uint32_t put_data_length_not_supported = 0x300C;

// Whether `message`, with `available` bytes from its start on (a
// DATA_B3_REQ's data behind it), may go to the library: put_passes, or
// 0x1102 for a length field below 8, above 8192 or beyond `available`, a
// message (with a DATA_B3_REQ's data) above 2173 bytes, or a DATA_B3_REQ
// under 30 bytes (without Data64); 0x300C for a DATA_B3_REQ declaring more
// than 2048 bytes. Needs at least 2 bytes at `message`.
inline std::uint32_t put_refusal(const std::uint8_t* message, std::size_t available) {
  std::size_t length = get_le16(message + total_length);
  if (length < header_size || length > max_message_length || length > available ||
      length > library_send_limit)
    return put_illegal_command;
  if (message[command] != command_data_b3 || message[subcommand] != subcommand_req)
    return put_passes;
  if (length < static_cast<std::size_t>(data_b3_size_with_data64))
    return put_illegal_command;
  std::size_t declared = get_le16(message + data_length);
  if (declared > largest_b3_block)
    return put_data_length_not_supported;
  std::size_t carried = available - length;
  if (length + (declared < carried ? declared : carried) > library_send_limit)
    return put_illegal_command;
  return put_passes;
}

} // namespace capi_fields
