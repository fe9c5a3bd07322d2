// SPDX-License-Identifier: MIT
// Put: one CAPI message from the client to the library. A DATA_B3_REQ brings
// its payload inline; the payload is copied into a buffer of its own, kept
// under the message's Data handle until the library confirms the data.
#include "capi/put.hpp"
#include "bridge/frames.hpp"
#include "capi/binding.hpp"
#include "capi/connection.hpp"
#include "capi/handlers.hpp"
#include "capi/incoming_data.hpp"
#include <capi_bridge/put_rules.hpp>

#include <cstdlib>
#include <cstring>

namespace cm = capi_fields;

namespace {

using cm::max_message_length;

// What capi20_put_message receives. The library reads well past a short
// message (2173 bytes on Debian) and writes B3 data back into it, so it is
// always the full size.
alignas(8) std::uint8_t put_staging_buffer[max_message_length];

// How many leading bytes of put_staging_buffer may be non-zero: the last
// message staged, and what the library wrote for it. The library writes only
// inside the message it is given and, for a DATA_B3_REQ, the data it copies
// behind the message (Debian's library does both, and nothing else). Clearing
// this much leaves the buffer exactly as clearing all 8192 bytes would, for a
// fraction of the cost on every Put.
std::size_t staging_dirty_length = 0;

struct data_handle_slot {
  std::uint8_t* payload;
  // The library accepted the request that owns `payload` and has not yet
  // confirmed it: it may still read the buffer.
  bool awaiting_confirmation;
};

data_handle_slot data_handle_table[65536];

void release_slot(data_handle_slot& slot) {
  std::free(slot.payload);
  slot = {};
}

// Copies a DATA_B3_REQ's payload and points the staged message at the copy.
// Returns info_ok, or the info value that refuses the request. The message
// has passed put_refusal: it has Data64 (without it the library would take
// the data from a pointer the client wrote), declares no more than a block
// and stays within the library's send limit with its data.
std::uint32_t stage_b3_payload(const std::uint8_t* message, std::size_t message_length,
                               std::size_t available, data_handle_slot*& owner) {
  std::uint16_t declared = get_le16(message + cm::data_length);
  data_handle_slot& slot = data_handle_table[get_le16(message + cm::data_handle)];
  // The library may still read that buffer; the client can retry once the
  // handle's DATA_B3_CONF has been fetched.
  if (slot.awaiting_confirmation)
    return info_queue_busy;

  std::size_t count = declared < available ? declared : available;
  release_slot(slot);
  slot.payload = static_cast<std::uint8_t*>(std::malloc(count != 0 ? count : 1));
  if (slot.payload == nullptr)
    return info_os_resource_error;
  std::memcpy(slot.payload, message + message_length, count);

  put_le32(put_staging_buffer + cm::data, 0);
  put_le64(put_staging_buffer + cm::data64, reinterpret_cast<std::uintptr_t>(slot.payload));
  // A request that carries fewer bytes than it declares goes out with the
  // bytes it carries, so the library never reads past the copy.
  put_le16(put_staging_buffer + cm::data_length, static_cast<std::uint16_t>(count));
  owner = &slot;
  return info_ok;
}

// The library aborts the process on a DATA_B3_RESP that answers no DATA_B3_IND
// it holds; such a response stops here. Fields are read from the staged copy,
// as the library will read them.
std::uint32_t check_response(std::size_t message_length) {
  const std::uint8_t* m = put_staging_buffer;
  if (m[cm::command] == cm::command_data_b3) {
    bool answers =
        message_length >= cm::data_b3_resp_size &&
        answer_data_b3_ind(get_le16(m + cm::resp_data_handle), get_le32(m + cm::address));
    return answers ? info_ok : info_not_in_current_state;
  }
  if (m[cm::command] == cm::command_disconnect_b3)
    forget_data_b3_ind_of_ncci(get_le32(m + cm::address));
  return info_ok;
}

} // namespace

void handle_put(const std::uint8_t* body, std::uint32_t length) {
  std::size_t after_kind = length - 1;
  if (after_kind < cm::header_size || current_appl_id == 0) {
    send_reply(info_illegal_appl_id);
    return;
  }
  const std::uint8_t* message = body + 1;
  if (std::uint32_t refused = cm::put_refusal(message, after_kind); refused != cm::put_passes) {
    send_reply(refused);
    return;
  }
  std::size_t message_length = get_le16(message + cm::total_length);

  // The message covers its own length; only what lies beyond it is cleared.
  std::memcpy(put_staging_buffer, message, message_length);
  if (staging_dirty_length > message_length)
    std::memset(put_staging_buffer + message_length, 0, staging_dirty_length - message_length);
  staging_dirty_length = message_length;

  data_handle_slot* owner = nullptr;
  std::uint32_t refused = info_ok;
  if (message[cm::command] == cm::command_data_b3 && message[cm::subcommand] == cm::subcommand_req)
    refused = stage_b3_payload(message, message_length, after_kind - message_length, owner);
  else if (message[cm::subcommand] == cm::subcommand_resp)
    refused = check_response(message_length);
  if (refused != info_ok) {
    send_reply(refused);
    return;
  }

  if (owner != nullptr) {
    std::size_t copied_behind = message_length + get_le16(put_staging_buffer + cm::data_length);
    staging_dirty_length = copied_behind < max_message_length ? copied_behind : max_message_length;
  }
  // Once the connection has ended, the library's table may name another
  // process's descriptor under our ID: the library is not asked.
  unsigned result = connection_gone()
                        ? info_host_gone
                        : capi_entry_table.capi20_put_message(current_appl_id, put_staging_buffer);
  // The library could not send: its connection has ended, and the host may
  // hand the ID out again. Where the connection cannot be looked into, this
  // is the only sign of it, and the ID must then not be released.
  if (result == info_host_gone)
    connection_ended();
  if (owner != nullptr)
    owner->awaiting_confirmation = result == 0;
  send_reply(result);
}

void release_b3_copy(std::uint16_t data_handle) {
  release_slot(data_handle_table[data_handle]);
}

void reset_put() {
  for (data_handle_slot& slot : data_handle_table)
    release_slot(slot);
  std::memset(put_staging_buffer, 0, sizeof put_staging_buffer);
  staging_dirty_length = 0;
}
