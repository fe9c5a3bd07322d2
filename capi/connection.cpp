// SPDX-License-Identifier: MIT
// The library's connection: socket options, a look at each frame, and the
// connection's end.
#include "capi/connection.hpp"

#include "bridge/frames.hpp"
#include "capi/binding.hpp"
#include "platform/platform.hpp"
#include <capi_bridge/capi_fields.hpp>

namespace cm = capi_fields;

namespace {

// The driver's frames: a type byte, a 16-bit length, then that many bytes,
// read into a stack buffer of driver_frame_limit bytes.
constexpr std::size_t frame_header_size = 3;
constexpr std::size_t driver_frame_limit = 4096;

std::uint8_t peeked[frame_header_size + driver_frame_limit];

// The registered application's connection, -1 when none is known.
int connection = -1;
bool gone = false;
// The byte count the connection was last made to wait for, 0 when it polls
// readable at the first byte as usual.
std::size_t awaited = 0;
// Whether the connection's sends are held back (hold_sends).
bool holding = false;

void end_connection() {
  gone = true;
  // So that the library, should it read, sees the end and blocks on nothing.
  if (connection >= 0)
    platform_shut_down(connection);
}

void await(std::size_t count) {
  if (count == awaited)
    return;
  platform_await_bytes(connection, count == 0 ? 1 : count);
  awaited = count;
}

// Whether the frame carries one CAPI message that the library hands out as
// the host sent it: a header's worth at least, and no more than the frame
// and the library's message buffer hold. The driver reads a frame of length
// 0 with a receive of 0 bytes, which waits for the next byte to arrive.
bool holds_a_message(const std::uint8_t* frame, std::size_t length) {
  if (length < cm::header_size)
    return false;
  std::size_t message_length = get_le16(frame + frame_header_size + cm::total_length);
  return message_length >= cm::header_size && message_length <= length &&
         message_length <= library_message_buffer;
}

// Whether the driver could take this whole frame without overrunning its
// buffers. A DATA_B3_IND shorter than 30 bytes has its data moved to offset
// 30 of the library's message buffer.
bool driver_can_take(const std::uint8_t* frame, std::size_t length) {
  const std::uint8_t* message = frame + frame_header_size;
  if (length < cm::data_b3_size_without_data64 || message[cm::command] != cm::command_data_b3 ||
      message[cm::subcommand] != cm::subcommand_ind)
    return true;
  std::size_t message_length = get_le16(message + cm::total_length);
  std::size_t data_length = get_le16(message + cm::data_length);
  return message_length >= cm::data_b3_size_with_data64 ||
         cm::data_b3_size_with_data64 + data_length <= library_message_buffer;
}

// Part of a frame is there and `whole` bytes make it complete.
next_frame incomplete(std::size_t whole) {
  if (platform_peer_closed(connection)) {
    end_connection();
    return next_frame::gone;
  }
  await(whole);
  return next_frame::incomplete;
}

} // namespace

void take_connection() {
  reset_connection();
  if (capi_optional_entry_table.capi20_fileno != nullptr)
    connection = capi_optional_entry_table.capi20_fileno(current_appl_id);
  if (connection >= 0)
    platform_tend_connection(connection);
}

next_frame inspect_next_frame() {
  if (gone)
    return next_frame::gone;
  if (connection < 0)
    return next_frame::unknown;
  peek_result look = platform_peek(connection, peeked, sizeof peeked);
  switch (look.look) {
  case connection_look::no_socket:
    // Nothing to look into, now or later: the library is asked instead.
    connection = -1;
    return next_frame::unknown;
  case connection_look::nothing:
    return next_frame::nothing;
  case connection_look::ended:
    end_connection();
    return next_frame::gone;
  case connection_look::bytes:
    break;
  }
  if (look.count < frame_header_size)
    return incomplete(frame_header_size);
  std::size_t length = get_le16(peeked + 1);
  // The header alone condemns a frame that is too long.
  if (length > driver_frame_limit) {
    end_connection();
    return next_frame::gone;
  }
  if (look.count < frame_header_size + length)
    return incomplete(frame_header_size + length);
  await(0);
  if (!holds_a_message(peeked, length)) {
    if (!platform_discard(connection, frame_header_size + length)) {
      end_connection();
      return next_frame::gone;
    }
    return next_frame::dropped;
  }
  if (!driver_can_take(peeked, length)) {
    end_connection();
    return next_frame::gone;
  }
  return next_frame::complete;
}

int watched_connection() {
  return gone ? -1 : connection;
}

bool connection_gone() {
  return gone;
}

void connection_ended() {
  end_connection();
}

void end_application() {
  // A host that has closed the connection has let the ID go, whether or not
  // a look has seen it yet.
  if (!gone && connection >= 0 && current_appl_id != 0 && platform_peer_closed(connection))
    gone = true;
  if (gone)
    current_appl_id = 0;
  else
    release_current_application();
  reset_connection();
}

void hold_sends(bool hold) {
  if (connection < 0 || hold == holding)
    return;
  holding = hold;
  platform_hold_sends(connection, hold);
}

void reset_connection() {
  holding = false;
  connection = -1;
  gone = false;
  awaited = 0;
}
