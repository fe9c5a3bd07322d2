// Get and the waiting Get: one incoming CAPI message, fetched without
// waiting or once one comes. A DATA_B3_IND's data is appended straight from
// the library's memory; a DATA_B3_CONF frees the payload copy that Put made
// for its Data handle.
#include "bridge/frames.hpp"
#include "capi/binding.hpp"
#include "capi/capi_message.hpp"
#include "capi/handlers.hpp"
#include "capi/incoming_data.hpp"
#include "platform/platform.hpp"

namespace cm = capi_message;

namespace {

// The waiting Get: the letter, then a time-out in milliseconds (up to
// longest_wait).
constexpr std::uint32_t wait_request_length = 5;
constexpr std::uint32_t longest_wait = 60000;
// Where standard input and the library's connection cannot be waited on
// together, the wait looks at the input this often.
constexpr std::uint32_t wait_slice = 10;

// Debian's library receives each message into a buffer of this size (128
// bytes more than the registered block size); a length field that claims
// more was written by a faulty or hostile host, and the bytes it claims lie
// beyond what the library received.
constexpr std::uint16_t library_receive_size = 128 + registered_b3_block_size;

// The B3 data a DATA_B3_IND points at, through Data64 when the message has a
// non-zero one and through the 32-bit Data field otherwise; nullptr when the
// pointer is zero or the bytes cannot be read.
const void* readable_b3_data(const unsigned char* message, std::uint16_t length,
                             std::size_t& count) {
  std::uint64_t address = get_le32(message + cm::data);
  if (length >= cm::data_b3_size_with_data64 && get_le64(message + cm::data64) != 0)
    address = get_le64(message + cm::data64);
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

// Hands out the message the library has said is waiting, with a
// DATA_B3_IND's data appended; `nothing_given` is the answer when the
// library then has none to give after all.
void reply_with_waiting_message(std::uint32_t nothing_given) {
  unsigned char* message = nullptr;
  unsigned result = capi_entry_table.capi20_get_message(current_appl_id, &message);
  if (result == info_queue_empty || (result == 0 && message == nullptr)) {
    send_reply(nothing_given);
    return;
  }
  if (result != 0) {
    send_reply(result);
    return;
  }

  std::uint16_t length = get_le16(message + cm::total_length);
  if (length > library_receive_size) {
    send_reply(info_illegal_command);
    return;
  }
  std::uint8_t command = message[cm::command];
  std::uint8_t subcommand = message[cm::subcommand];
  const void* extra = nullptr;
  std::size_t extra_length = 0;
  if (command == cm::command_data_b3 && subcommand == cm::subcommand_conf) {
    // Whatever its Info says, the library is done with the data.
    if (length >= cm::data_b3_conf_size_with_handle)
      release_b3_copy(get_le16(message + cm::conf_data_handle));
  } else if (command == cm::command_data_b3 && subcommand == cm::subcommand_ind) {
    note_data_b3_ind(get_le16(message + cm::data_handle), get_le32(message + cm::address));
    if (length >= cm::data_b3_size_without_data64)
      extra = readable_b3_data(message, length, extra_length);
  } else if (command == cm::command_disconnect && subcommand == cm::subcommand_ind) {
    forget_data_b3_ind_of_plci(get_le32(message + cm::address));
  }
  send_reply(info_ok, message, length, extra, extra_length);
}

bool message_waiting_now() {
  return capi_entry_table.capi20_waitformessage(current_appl_id, platform_zero_timeout()) == 0;
}

// Waits up to `milliseconds` for a message; false when the time passes or
// the client writes first.
bool wait_for_message(std::uint32_t milliseconds) {
  if (message_waiting_now())
    return true;
  if (input_read_ahead())
    return false;
  int connection = platform_waits_on_connection ? current_connection() : -1;
  std::uint64_t deadline = platform_milliseconds() + milliseconds;
  for (;;) {
    std::uint64_t now = platform_milliseconds();
    if (now >= deadline)
      return false;
    auto left = static_cast<std::uint32_t>(deadline - now);
    if (connection >= 0) {
      if (platform_wait(connection, left) != wake::connection)
        return false;
      if (message_waiting_now())
        return true;
      // The connection and the library disagree; slices cannot spin.
      connection = -1;
      continue;
    }
    std::uint32_t slice = left < wait_slice ? left : wait_slice;
    if (capi_entry_table.capi20_waitformessage(current_appl_id, platform_timeout(slice)) == 0)
      return true;
    if (platform_input_waiting() || platform_stop_requested())
      return false;
  }
}

} // namespace

void handle_get(const std::uint8_t*, std::uint32_t) {
  if (current_appl_id == 0) {
    send_reply(info_queue_empty);
    return;
  }
  // Some libraries block in capi20_get_message while nothing is pending, so
  // ask first, without waiting.
  if (!message_waiting_now()) {
    send_reply(info_queue_empty);
    return;
  }
  reply_with_waiting_message(info_queue_empty);
}

void handle_wait(const std::uint8_t* body, std::uint32_t length) {
  if (length < wait_request_length) {
    send_reply(info_illegal_command);
    return;
  }
  if (current_appl_id == 0) {
    send_reply(info_queue_empty);
    return;
  }
  std::uint32_t milliseconds = get_le32(body + 1);
  if (!wait_for_message(milliseconds < longest_wait ? milliseconds : longest_wait)) {
    send_reply(info_queue_empty);
    return;
  }
  // Debian's library says "ready" at the end of its connection and then has
  // nothing to give: the host has gone.
  reply_with_waiting_message(info_host_gone);
}
