// SPDX-License-Identifier: MIT
// One application's traffic: messages out, frames in, each size checked
// against what was received or registered before a byte is copied.
#include "application.hpp"

#include "wire.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace cf = capi_fields;

namespace libcapi20 {

namespace {

// How long a message may take to leave when the host reads nothing.
constexpr int send_time_out_ms = 10000;
// A wait looks at whether the application was released this often.
constexpr long wait_slice_ms = 200;
constexpr std::size_t data_handle_count = 0x10000;

enum class received { complete, incomplete, dropped, ended };

void end_connection(application& app) {
  if (!app.ended)
    socket_shut_down(app.connection);
  app.ended = true;
}

std::size_t frame_length(const application& app) {
  return cf::get_le16(app.frame.data() + 1);
}

bool frame_complete(const application& app) {
  return app.frame_have >= frame_header_size &&
         app.frame_have == frame_header_size + frame_length(app);
}

// Reads on towards the end of the current frame without waiting, never past
// it. A frame longer than the receive buffers is read and thrown away.
received receive_frame(application& app) {
  for (;;) {
    if (frame_complete(app))
      return received::complete;
    if (app.drop_unreported)
      return received::dropped;
    if (app.ended)
      return received::ended;
    std::uint8_t* into = app.frame.data();
    std::size_t want;
    if (app.skip_left > 0) {
      want = std::min(app.skip_left, app.frame.size());
    } else {
      into += app.frame_have;
      want = app.frame_have < frame_header_size
                 ? frame_header_size - app.frame_have
                 : frame_header_size + frame_length(app) - app.frame_have;
    }
    long got = socket_receive(app.connection, into, want);
    if (got < 0) {
      end_connection(app);
      continue;
    }
    if (got == 0)
      return received::incomplete;
    auto count = static_cast<std::size_t>(got);
    if (app.skip_left > 0) {
      app.skip_left -= count;
      continue;
    }
    app.frame_have += count;
    if (app.frame_have == frame_header_size && frame_length(app) > app.buffer_size) {
      app.skip_left = frame_length(app);
      app.frame_have = 0;
      app.drop_unreported = true;
    }
  }
}

// Whether the complete frame's payload is one message the caller can be
// given: a header at least, its length within the frame and, for a
// DATA_B3_IND, its data within the frame and, moved to offset 30, within
// the buffer.
bool holds_a_message(const application& app) {
  const std::uint8_t* message = app.frame.data() + frame_header_size;
  std::size_t payload = frame_length(app);
  if (payload < cf::header_size)
    return false;
  std::size_t length = cf::get_le16(message + cf::total_length);
  if (length < cf::header_size || length > payload)
    return false;
  if (message[cf::command] != cf::command_data_b3 || message[cf::subcommand] != cf::subcommand_ind)
    return true;
  if (length < static_cast<std::size_t>(cf::data_b3_size_without_data64))
    return false;
  std::size_t data_length = cf::get_le16(message + cf::data_length);
  std::size_t data_at = std::max(length, static_cast<std::size_t>(cf::data_b3_size_with_data64));
  return data_length <= payload - length && data_at + data_length <= app.buffer_size;
}

// The lowest data buffer not held, allocating its bytes on first use; -1
// when all are held.
long free_data_buffer(application& app) {
  std::size_t index = 0;
  while (index < app.data_buffers.size() && app.data_buffers[index].held)
    ++index;
  if (index == app.data_buffer_limit)
    return -1;
  if (index == app.data_buffers.size())
    app.data_buffers.emplace_back();
  data_buffer& b = app.data_buffers[index];
  if (b.bytes.empty())
    b.bytes.resize(app.buffer_size);
  return static_cast<long>(index);
}

// DATA_B3_IND as the library gives it: 30 bytes, Data 0, Data64 pointing at
// the data after the message, DataHandle the buffer's index.
unsigned hand_out_data_b3_ind(application& app, unsigned char** out) {
  long index = free_data_buffer(app);
  if (index < 0)
    return info_host_gone;
  const std::uint8_t* message = app.frame.data() + frame_header_size;
  std::size_t length = cf::get_le16(message + cf::total_length);
  std::size_t data_length = cf::get_le16(message + cf::data_length);
  std::size_t data_at = std::max(length, static_cast<std::size_t>(cf::data_b3_size_with_data64));
  data_buffer& b = app.data_buffers[static_cast<std::size_t>(index)];
  std::uint8_t* copy = b.bytes.data();
  std::memset(copy, 0, cf::data_b3_size_with_data64);
  std::memcpy(copy, message, length);
  std::memcpy(copy + data_at, message + length, data_length);
  b.held = true;
  b.host_handle = cf::get_le16(message + cf::data_handle);
  b.ncci = cf::get_le32(message + cf::address);
  cf::put_le16(copy + cf::total_length, static_cast<std::uint16_t>(data_at));
  cf::put_le32(copy + cf::data, 0);
  cf::put_le16(copy + cf::data_handle, static_cast<std::uint16_t>(index));
  cf::put_le64(copy + cf::data64, reinterpret_cast<std::uintptr_t>(copy + data_at));
  *out = copy;
  return info_ok;
}

template <typename Matches> void free_data_buffers(application& app, Matches matches) {
  for (data_buffer& b : app.data_buffers)
    if (b.held && matches(b.ncci))
      b.held = false;
}

// Sends the frame in app.send_frame; false when the connection has ended.
bool send_frame(application& app, std::size_t payload) {
  app.send_frame[0] = frame_type;
  cf::put_le16(app.send_frame.data() + 1, static_cast<std::uint16_t>(payload));
  if (socket_send_all(app.connection, app.send_frame.data(), frame_header_size + payload,
                      send_time_out_ms))
    return true;
  end_connection(app);
  return false;
}

// A DATA_B3_REQ: its data comes from Data64 in a 30-byte message that has
// one, and otherwise from right after the message; it follows the message
// in the frame, whose two data pointers go out as 0.
unsigned put_data_b3_req(application& app, const unsigned char* message, std::size_t length) {
  if (length < static_cast<std::size_t>(cf::data_b3_size_without_data64))
    return info_illegal_command;
  std::size_t data_length = cf::get_le16(message + cf::data_length);
  if (length + data_length > largest_frame_payload)
    return info_data_length_not_supported;
  const unsigned char* data = message + length;
  bool has_data64 = length >= static_cast<std::size_t>(cf::data_b3_size_with_data64);
  if (has_data64 && cf::get_le64(message + cf::data64) != 0)
    // The caller passes its data's address as a number in the message.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    data = reinterpret_cast<const unsigned char*>(
        static_cast<std::uintptr_t>(cf::get_le64(message + cf::data64)));
  std::uint8_t* frame_message = app.send_frame.data() + frame_header_size;
  std::memcpy(frame_message, message, length);
  cf::put_le32(frame_message + cf::data, 0);
  if (has_data64)
    cf::put_le64(frame_message + cf::data64, 0);
  if (data_length > 0)
    std::memcpy(frame_message + length, data, data_length);
  return send_frame(app, length + data_length) ? info_ok : info_host_gone;
}

// A DATA_B3_RESP goes out with the host's DataHandle of the DATA_B3_IND it
// answers, whose buffer is then free again.
unsigned put_data_b3_resp(application& app, const unsigned char* message, std::size_t length) {
  if (length < static_cast<std::size_t>(cf::data_b3_resp_size))
    return info_illegal_command;
  std::size_t index = cf::get_le16(message + cf::resp_data_handle);
  std::uint32_t ncci = cf::get_le32(message + cf::address);
  if (index >= app.data_buffers.size() || !app.data_buffers[index].held ||
      app.data_buffers[index].ncci != ncci)
    return info_not_in_current_state;
  data_buffer& b = app.data_buffers[index];
  b.held = false;
  std::uint8_t* frame_message = app.send_frame.data() + frame_header_size;
  std::memcpy(frame_message, message, length);
  cf::put_le16(frame_message + cf::resp_data_handle, b.host_handle);
  return send_frame(app, length) ? info_ok : info_host_gone;
}

} // namespace

application::application(socket_handle s, unsigned appl_id, unsigned max_logical_connections,
                         unsigned max_b_data_blocks, unsigned max_b_data_length)
    : id(appl_id), connection(s), buffer_size(receive_buffer_size(max_b_data_length)),
      frame(frame_header_size + buffer_size), send_frame(send_buffer_size) {
  // As many as Debian's library keeps, as far as a 16-bit DataHandle can
  // tell them apart.
  std::uint64_t buffers =
      2 + std::uint64_t{max_logical_connections} * (std::uint64_t{max_b_data_blocks} + 1);
  data_buffer_limit = static_cast<std::size_t>(std::min<std::uint64_t>(buffers, data_handle_count));
  for (std::vector<std::uint8_t>& r : recent)
    r.resize(buffer_size);
}

application::~application() {
  socket_close(connection);
}

unsigned put_message(application& app, const unsigned char* message) {
  std::lock_guard<std::mutex> hold(app.lock);
  if (app.released)
    return info_illegal_appl_id;
  if (message == nullptr)
    return info_illegal_command;
  if (app.ended)
    return info_host_gone;
  std::size_t length = cf::get_le16(message + cf::total_length);
  if (length < cf::header_size)
    return info_illegal_command;
  std::uint8_t command = message[cf::command];
  std::uint8_t subcommand = message[cf::subcommand];
  if (command == cf::command_data_b3 && subcommand == cf::subcommand_req)
    return put_data_b3_req(app, message, length);
  if (length > largest_frame_payload)
    return info_illegal_command;
  if (command == cf::command_data_b3 && subcommand == cf::subcommand_resp)
    return put_data_b3_resp(app, message, length);
  if (command == cf::command_disconnect_b3 && subcommand == cf::subcommand_resp &&
      length >= cf::address + 4u) {
    std::uint32_t ncci = cf::get_le32(message + cf::address);
    free_data_buffers(app, [ncci](std::uint32_t held) { return held == ncci; });
  }
  std::memcpy(app.send_frame.data() + frame_header_size, message, length);
  return send_frame(app, length) ? info_ok : info_host_gone;
}

unsigned get_message(application& app, unsigned char** out) {
  std::lock_guard<std::mutex> hold(app.lock);
  if (app.released)
    return info_illegal_appl_id;
  if (out == nullptr)
    return info_illegal_command;
  switch (receive_frame(app)) {
  case received::incomplete:
    return info_queue_empty;
  case received::ended:
    return info_host_gone;
  case received::dropped:
    app.drop_unreported = false;
    return info_illegal_command;
  case received::complete:
    break;
  }
  if (!holds_a_message(app)) {
    app.frame_have = 0;
    return info_illegal_command;
  }
  const std::uint8_t* message = app.frame.data() + frame_header_size;
  unsigned char* given = nullptr;
  if (message[cf::command] == cf::command_data_b3 &&
      message[cf::subcommand] == cf::subcommand_ind) {
    if (hand_out_data_b3_ind(app, &given) != info_ok)
      return info_host_gone; // the frame waits for a free buffer
  } else {
    given = app.recent[app.next_recent].data();
    app.next_recent = (app.next_recent + 1) % app.recent.size();
    std::memcpy(given, message, frame_length(app));
    if (message[cf::command] == cf::command_disconnect &&
        message[cf::subcommand] == cf::subcommand_ind &&
        cf::get_le16(message + cf::total_length) >= cf::address + 4u) {
      std::uint32_t plci = cf::get_le32(message + cf::address);
      free_data_buffers(app, [plci](std::uint32_t ncci) { return (ncci & 0xffff) == plci; });
    }
  }
  app.frame_have = 0;
  cf::put_le16(given + cf::appl_id, static_cast<std::uint16_t>(app.id));
  *out = given;
  return info_ok;
}

unsigned wait_for_message(application& app, timeval* timeout) {
  long limit = timeout_milliseconds(timeout);
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(app.lock);
      if (app.released)
        return info_illegal_appl_id;
      if (receive_frame(app) != received::incomplete)
        break;
    }
    long waited = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - start)
                                        .count());
    if (limit >= 0 && waited >= limit) {
      store_time_left(timeout, 0);
      return info_queue_empty;
    }
    long slice = limit < 0 ? wait_slice_ms : std::min(limit - waited, wait_slice_ms);
    socket_wait_readable(app.connection, static_cast<int>(slice));
  }
  if (limit >= 0) {
    long waited = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - start)
                                        .count());
    store_time_left(timeout, waited < limit ? limit - waited : 0);
  }
  return info_ok;
}

void release_application(application& app) {
  std::lock_guard<std::mutex> hold(app.lock);
  if (app.released)
    return;
  if (!app.ended) {
    std::uint8_t request[release_request_size];
    build_release_request(request, app.id);
    socket_send_all(app.connection, request, sizeof request, 0);
  }
  end_connection(app);
  app.released = true;
}

} // namespace libcapi20
