// SPDX-License-Identifier: MIT
// The library's connection: socket options and a look at each frame.
#include "capi/connection.hpp"

#include "bridge/frames.hpp"
#include "capi/binding.hpp"
#include "capi/capi_message.hpp"
#include "platform/platform.hpp"

namespace cm = capi_message;

namespace {

// The driver's frames: a type byte, a 16-bit length, then that many bytes,
// read into a stack buffer of driver_frame_limit bytes.
constexpr std::size_t frame_header_size = 3;
constexpr std::size_t driver_frame_limit = 4096;

std::uint8_t peeked[frame_header_size + driver_frame_limit];
bool unusable = false;

// Whether the driver could take this whole frame without overrunning its
// buffers. A DATA_B3_IND shorter than 30 bytes has its data moved to offset
// 30 of the library's message buffer.
bool driver_can_take(const std::uint8_t* frame, std::size_t length) {
  if (length > driver_frame_limit)
    return false;
  const std::uint8_t* message = frame + frame_header_size;
  if (length < cm::data_b3_size_without_data64 || message[cm::command] != cm::command_data_b3 ||
      message[cm::subcommand] != cm::subcommand_ind)
    return true;
  std::size_t message_length = get_le16(message + cm::total_length);
  std::size_t data_length = get_le16(message + cm::data_length);
  return message_length >= cm::data_b3_size_with_data64 ||
         cm::data_b3_size_with_data64 + data_length <= library_message_buffer;
}

} // namespace

void tend_connection() {
  unusable = false;
  int connection = current_connection();
  if (connection >= 0)
    platform_tend_connection(connection);
}

next_frame inspect_next_frame() {
  if (unusable)
    return next_frame::unusable;
  int connection = current_connection();
  if (connection < 0)
    return next_frame::unknown;
  long got = platform_peek(connection, peeked, sizeof peeked);
  // Nothing to read now, the connection's end, or no socket at all: the
  // library reads and answers as it will.
  if (got <= 0)
    return next_frame::unknown;
  auto have = static_cast<std::size_t>(got);
  if (have < frame_header_size)
    return next_frame::incomplete;
  std::size_t length = get_le16(peeked + 1);
  bool whole = have >= frame_header_size + length;
  // The header alone condemns a frame that is too long; the rest is looked at
  // once it is all there.
  if (length > driver_frame_limit || (whole && !driver_can_take(peeked, length))) {
    unusable = true;
    platform_shut_down(connection);
    return next_frame::unusable;
  }
  return whole ? next_frame::complete : next_frame::incomplete;
}
