// SPDX-License-Identifier: MIT
// Open, Profile and Close: pointing the library at a CAPI host, registering
// the client's application, reading a controller's profile, and releasing.
#include "bridge/frames.hpp"
#include "capi/binding.hpp"
#include "capi/connection.hpp"
#include "capi/handlers.hpp"
#include "capi/incoming_data.hpp"

#include <cstring>

namespace {

char driver_name[] = "fritzbox";

enum : std::uint8_t { stage_registered = 0, stage_not_available = 1, stage_register_failed = 2 };

// Body offsets of Open: port, max logical connections, then the host name;
// of Profile: the controller number.
constexpr std::uint32_t open_port = 1;
constexpr std::uint32_t open_max_logical_connections = 3;
constexpr std::uint32_t open_host_name = 5;
constexpr std::size_t host_name_limit = 255;
constexpr std::uint32_t profile_controller = 1;
constexpr std::uint32_t profile_request_length = 5;

// Body offsets of the registration values.
constexpr std::uint32_t registration_blocks = 1;
constexpr std::uint32_t registration_block_size = 3;
constexpr std::uint32_t registration_request_length = 5;

// Loads the library and points it at the host named in an Open-shaped
// request, and asks whether CAPI is there: the library's answer, or
// info_not_installed for a short request or a missing library.
unsigned point_library_at_host(const std::uint8_t* body, std::uint32_t length) {
  if (length < open_host_name || !load_capi_library())
    return info_not_installed;
  char host_name[host_name_limit + 1];
  std::size_t host_length = length - open_host_name;
  if (host_length > host_name_limit)
    host_length = host_name_limit;
  std::memcpy(host_name, body + open_host_name, host_length);
  host_name[host_length] = '\0';

  const capi_entry_table_type& t = capi_entry_table;
  t.capi20ext_set_driver(driver_name);
  t.capi20ext_set_host(host_name);
  t.capi20ext_set_port(get_le16(body + open_port));
  return t.capi20_isinstalled();
}

void reply_open(std::uint32_t info, std::uint32_t appl_id, std::uint8_t stage) {
  std::uint8_t open_result[5];
  put_le32(open_result, appl_id);
  open_result[4] = stage;
  send_reply(info, open_result, sizeof open_result, nullptr, 0);
}

} // namespace

void handle_open(const std::uint8_t* body, std::uint32_t length) {
  unsigned result = point_library_at_host(body, length);
  if (result != 0) {
    reply_open(result, 0, stage_not_available);
    return;
  }
  const capi_entry_table_type& t = capi_entry_table;
  result = t.capi20_register(get_le16(body + open_max_logical_connections),
                             next_registration.b3_data_blocks, next_registration.b3_block_size,
                             &current_appl_id);
  // A host may hand out ID 0, which the library accepts here and then
  // refuses in every later call, release included: as useless as the IDs
  // above 1023 that it refuses with this value itself.
  if (result == 0 && current_appl_id == 0)
    result = info_os_resource_error;
  if (result != 0) {
    current_appl_id = 0;
    reset_connection();
  } else {
    forget_all_data_b3_ind();
    take_connection();
  }
  reply_open(result, current_appl_id, result != 0 ? stage_register_failed : stage_registered);
}

void handle_installed(const std::uint8_t* body, std::uint32_t length) {
  send_reply(point_library_at_host(body, length));
}

void handle_registration(const std::uint8_t* body, std::uint32_t length) {
  if (length < registration_request_length) {
    send_reply(info_illegal_command);
    return;
  }
  unsigned blocks = get_le16(body + registration_blocks);
  unsigned block_size = get_le16(body + registration_block_size);
  if (blocks < 1 || blocks > registered_b3_data_blocks)
    send_reply(info_buffer_too_large);
  else if (block_size < smallest_b3_block_size)
    send_reply(info_logical_block_too_small);
  else if (block_size > registered_b3_block_size)
    send_reply(info_data_length_not_supported);
  else {
    next_registration = {blocks, block_size};
    send_reply(info_ok);
  }
}

void handle_profile(const std::uint8_t* body, std::uint32_t length) {
  std::uint8_t profile_buffer[64] = {};
  if (length < profile_request_length || capi_entry_table.capi20_get_profile == nullptr) {
    send_reply(info_not_installed, profile_buffer, sizeof profile_buffer, nullptr, 0);
    return;
  }
  unsigned result =
      capi_entry_table.capi20_get_profile(get_le32(body + profile_controller), profile_buffer);
  send_reply(result, profile_buffer, sizeof profile_buffer, nullptr, 0);
}

void handle_close(const std::uint8_t*, std::uint32_t) {
  end_application();
  send_reply(info_ok);
}
