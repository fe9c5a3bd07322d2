// Get: one incoming CAPI message, fetched without waiting. A DATA_B3_IND's
// data is appended straight from the library's memory; a DATA_B3_CONF frees
// the payload copy that Put made for its Data handle.
#include "bridge/frames.hpp"
#include "capi/binding.hpp"
#include "capi/capi_message.hpp"
#include "capi/handlers.hpp"
#include "capi/incoming_data.hpp"
#include "platform/platform.hpp"

namespace cm = capi_message;

namespace {

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

} // namespace

void handle_get(const std::uint8_t*, std::uint32_t) {
  if (current_appl_id == 0) {
    send_reply(info_queue_empty);
    return;
  }
  // Some libraries block in capi20_get_message while nothing is pending, so
  // ask first, without waiting.
  if (capi_entry_table.capi20_waitformessage(current_appl_id, platform_zero_timeout()) != 0) {
    send_reply(info_queue_empty);
    return;
  }
  unsigned char* message = nullptr;
  unsigned result = capi_entry_table.capi20_get_message(current_appl_id, &message);
  if (result != 0) {
    send_reply(result);
    return;
  }
  if (message == nullptr) {
    send_reply(info_queue_empty);
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
