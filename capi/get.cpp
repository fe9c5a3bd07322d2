// SPDX-License-Identifier: MIT
// Get and the waiting Get: one incoming CAPI message, fetched without
// waiting or once one comes. A DATA_B3_IND's data is appended straight from
// the library's memory; a DATA_B3_CONF frees the payload copy that Put made
// for its Data handle.
#include "bridge/frames.hpp"
#include "capi/binding.hpp"
#include "capi/connection.hpp"
#include "capi/handlers.hpp"
#include "capi/incoming_data.hpp"
#include "capi/put.hpp"
#include "platform/platform.hpp"
#include <capi_bridge/capi_fields.hpp>

#include <cstdlib>
#include <cstring>

namespace cm = capi_fields;

namespace {

// The waiting Get: the letter, then a time-out in milliseconds (up to
// longest_wait).
constexpr std::uint32_t wait_time_out = 1;
constexpr std::uint32_t wait_request_length = 5;
constexpr std::uint32_t longest_wait = 60000;
// The batch: the letter, the first message's time-out as the waiting Get's,
// then the most messages and the most bytes of records to hand out.
constexpr std::uint32_t batch_time_out = 1;
constexpr std::uint32_t batch_most_messages = 5;
constexpr std::uint32_t batch_most_bytes = 7;
constexpr std::uint32_t batch_request_length = 11;
constexpr std::uint32_t largest_batch = 1024 * 1024;
// Where standard input and the library's connection cannot be waited on
// together, the wait looks at the input this often.
constexpr std::uint32_t wait_slice = 10;

// The B3 data a DATA_B3_IND points at, through Data64 when the message has a
// non-zero one and through the 32-bit Data field otherwise; nullptr when the
// pointer is zero or the bytes cannot be read.
const void* readable_b3_data(const unsigned char* message, std::uint16_t length,
                             std::size_t& count) {
  std::uint64_t address = get_le32(message + cm::data);
  if (length >= cm::data_b3_size_with_data64 && get_le64(message + cm::data64) != 0)
    address = get_le64(message + cm::data64);
  // The library passes its data pointer as a number in the message.
  // NOLINTNEXTLINE(performance-no-int-to-ptr)
  const auto* data = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address));
  count = get_le16(message + cm::data_length);
  // No registered application receives more than a block; a larger count
  // would reach past the data the library holds.
  if (data == nullptr || count > registered_b3_block_size || !platform_is_readable(data, count)) {
    count = 0;
    return nullptr;
  }
  return data;
}

// One answer of Get: its info and, with info 0, the message and a
// DATA_B3_IND's data, both still the library's.
struct get_answer {
  std::uint32_t info = info_queue_empty;
  const unsigned char* message = nullptr;
  std::size_t length = 0;
  const void* extra = nullptr;
  std::size_t extra_length = 0;
};

// Takes the message the library has said is waiting, with a DATA_B3_IND's
// data; `nothing_given` is the answer when the library then has none to
// give after all.
get_answer take_waiting_message(std::uint32_t nothing_given) {
  unsigned char* message = nullptr;
  unsigned result = capi_entry_table.capi20_get_message(current_appl_id, &message);
  if (result == info_queue_empty || (result == 0 && message == nullptr)) {
    // Where that is the host's end (the waiting Get's reading), it stays
    // the end.
    if (nothing_given == info_host_gone)
      connection_ended();
    return {nothing_given};
  }
  if (result != 0)
    return {result};

  std::uint16_t length = get_le16(message + cm::total_length);
  // A length field beyond the library's buffer, or short of a header, was
  // written by a faulty or hostile host: the bytes it claims are not the
  // message's. (Where the connection can be looked into, such a frame never
  // reaches the library.)
  if (length > library_message_buffer || length < cm::header_size)
    return {info_illegal_command};
  get_answer out{info_ok, message, length};
  std::uint8_t command = message[cm::command];
  std::uint8_t subcommand = message[cm::subcommand];
  if (command == cm::command_data_b3 && subcommand == cm::subcommand_conf) {
    // Whatever its Info says, the library is done with the data.
    if (length >= cm::data_b3_conf_size_with_handle)
      release_b3_copy(get_le16(message + cm::conf_data_handle));
  } else if (command == cm::command_data_b3 && subcommand == cm::subcommand_ind) {
    note_data_b3_ind(get_le16(message + cm::data_handle), get_le32(message + cm::address));
    if (length >= cm::data_b3_size_without_data64)
      out.extra = readable_b3_data(message, length, out.extra_length);
  } else if (command == cm::command_disconnect && subcommand == cm::subcommand_ind) {
    forget_data_b3_ind_of_plci(get_le32(message + cm::address));
  }
  return out;
}

void send_answer(const get_answer& a) {
  send_reply(a.info, a.message, a.length, a.extra, a.extra_length);
}

// What the library has for the client, asked without reading anything the
// library is to read.
enum class waiting {
  nothing, // no message
  partial, // only part of the next message's frame so far
  message, // the library hands one out without blocking
  dropped, // a frame that holds no usable message was taken off the connection
  gone,    // the connection has ended
};

// A look at the connection answers at once. Where there is none to look
// into, the library is asked, waiting up to `milliseconds` for a message.
waiting look(std::uint32_t milliseconds) {
  switch (inspect_next_frame()) {
  case next_frame::unknown:
    return capi_entry_table.capi20_waitformessage(current_appl_id,
                                                  platform_timeout(milliseconds)) == 0
               ? waiting::message
               : waiting::nothing;
  case next_frame::nothing:
    return waiting::nothing;
  case next_frame::incomplete:
    return waiting::partial;
  case next_frame::complete:
    return waiting::message;
  case next_frame::dropped:
    return waiting::dropped;
  case next_frame::gone:
    return waiting::gone;
  }
  return waiting::nothing;
}

// Whether `found` has something to answer with.
bool is_there(waiting found) {
  return found != waiting::nothing && found != waiting::partial;
}

// Waits up to `milliseconds` for a message; nothing (or partial) when the
// time passes or the client writes first.
waiting wait_for_message(std::uint32_t milliseconds) {
  waiting now = look(0);
  // Before the first wait only what has been read ahead counts: a platform
  // that cannot look into its input would end every wait at once.
  if (is_there(now) || input_read_ahead())
    return now;
  std::uint64_t deadline = platform_milliseconds() + milliseconds;
  for (;;) {
    std::uint64_t clock = platform_milliseconds();
    if (clock >= deadline)
      return waiting::nothing;
    auto left = static_cast<std::uint32_t>(deadline - clock);
    int connection = watched_connection();
    if (connection >= 0 && platform_waits_on_connection) {
      // A frame that has come in part wakes this only once it is whole, or
      // the connection ends.
      if (platform_wait(connection, left) != wake::connection)
        return waiting::nothing;
      now = look(0);
    } else {
      std::uint32_t slice = left < wait_slice ? left : wait_slice;
      if (connection >= 0) {
        // The host's bytes end the pause at once; while part of a frame is
        // there they would end every pause, so the rest gets whole slices.
        platform_pause(now == waiting::partial ? -1 : connection, slice);
        now = look(0);
      } else {
        now = look(slice);
      }
    }
    if (is_there(now))
      return now;
    if (client_has_written())
      return waiting::nothing;
  }
}

// What `found` says is there; `nothing_given` when the library says ready
// and then has nothing.
get_answer answer_to(waiting found, std::uint32_t nothing_given) {
  switch (found) {
  case waiting::nothing:
  case waiting::partial:
    return {info_queue_empty};
  case waiting::dropped:
    return {info_illegal_command};
  case waiting::gone:
    return {info_host_gone};
  case waiting::message:
    return take_waiting_message(nothing_given);
  }
  return {info_queue_empty};
}

// The batch's records: whole Get replies, one after another. Grows to the
// largest batch served and is kept for the life of the process.
std::uint8_t* batch_buffer = nullptr;
std::size_t batch_capacity = 0;
std::size_t batch_length = 0;

// The largest record: a reply header, a message of the library's largest,
// and a block of data.
constexpr std::size_t largest_record = 8 + library_message_buffer + registered_b3_block_size;

// Room for one more record of any size; false when there is no memory.
bool make_batch_room() {
  if (batch_length + largest_record <= batch_capacity)
    return true;
  std::size_t capacity = batch_capacity == 0 ? 4 * largest_record : 2 * batch_capacity;
  auto* grown = static_cast<std::uint8_t*>(std::realloc(batch_buffer, capacity));
  if (grown == nullptr)
    return false;
  batch_buffer = grown;
  batch_capacity = capacity;
  return true;
}

// Appends `a` as a Get reply would carry it, into the room made for it.
void append_record(const get_answer& a) {
  std::uint8_t* at = batch_buffer + batch_length;
  put_le32(at, static_cast<std::uint32_t>(4 + a.length + a.extra_length));
  put_le32(at + 4, a.info);
  if (a.length != 0)
    std::memcpy(at + 8, a.message, a.length);
  if (a.extra_length != 0)
    std::memcpy(at + 8 + a.length, a.extra, a.extra_length);
  batch_length += 8 + a.length + a.extra_length;
}

} // namespace

void handle_get(const std::uint8_t*, std::uint32_t) {
  // What was put before goes to the host before anything is awaited from it.
  hold_sends(false);
  if (current_appl_id == 0) {
    send_reply(info_queue_empty);
    return;
  }
  // Some libraries block in capi20_get_message while nothing is pending, or
  // while a frame has arrived only in part, so look first, without waiting.
  send_answer(answer_to(look(0), info_queue_empty));
}

void handle_wait(const std::uint8_t* body, std::uint32_t length) {
  hold_sends(false);
  if (length < wait_request_length) {
    send_reply(info_illegal_command);
    return;
  }
  if (current_appl_id == 0) {
    send_reply(info_queue_empty);
    return;
  }
  std::uint32_t milliseconds = get_le32(body + wait_time_out);
  // Debian's library says "ready" at the end of its connection and then has
  // nothing to give: the host has gone.
  send_answer(answer_to(wait_for_message(milliseconds < longest_wait ? milliseconds : longest_wait),
                        info_host_gone));
}

void handle_batch(const std::uint8_t* body, std::uint32_t length) {
  hold_sends(false);
  if (length < batch_request_length) {
    send_reply(info_illegal_command);
    return;
  }
  if (current_appl_id == 0) {
    send_reply(info_queue_empty);
    return;
  }
  std::uint32_t milliseconds = get_le32(body + batch_time_out);
  std::uint32_t most_messages = get_le16(body + batch_most_messages);
  std::uint32_t most_bytes = get_le32(body + batch_most_bytes);
  if (most_bytes > largest_batch)
    most_bytes = largest_batch;
  batch_length = 0;
  if (!make_batch_room()) {
    send_reply(info_os_resource_error);
    return;
  }
  get_answer first = answer_to(
      wait_for_message(milliseconds < longest_wait ? milliseconds : longest_wait), info_host_gone);
  if (first.info != info_ok) {
    send_answer(first);
    return;
  }
  append_record(first);
  // Only what has come already: once a message is there, nothing waits. A
  // message is taken from the library only with room for it.
  for (std::uint32_t count = 1;
       count < most_messages && batch_length < most_bytes && make_batch_room(); ++count) {
    waiting found = look(0);
    if (!is_there(found))
      break;
    get_answer next = answer_to(found, info_host_gone);
    if (next.info == info_queue_empty)
      break;
    append_record(next);
    if (next.info != info_ok)
      break;
  }
  send_reply(info_ok, batch_buffer, batch_length, nullptr, 0);
}
