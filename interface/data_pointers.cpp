// SPDX-License-Identifier: MIT
// The program's data pointers in DATA_B3 messages, both ways.
#include "data_pointers.hpp"

#include <algorithm>

namespace capi_interface {

namespace {

namespace field = capi_fields;
using capi_bridge::bytes;
using field::get_le16;
using field::get_le32;
using field::get_le64;

// Program memory named by a number in a message.
// NOLINTNEXTLINE(performance-no-int-to-ptr)
const std::uint8_t* at_address(std::uint64_t address) {
  return reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(address));
}

} // namespace

const std::uint8_t* request_data(const std::uint8_t* message, std::size_t length,
                                 data_pointer pointers) {
  std::uint64_t data64 =
      length >= field::data_b3_size_with_data64 ? get_le64(message + field::data64) : 0;
  switch (pointers) {
  case data_pointer::libcapi20_64:
    return data64 != 0 ? at_address(data64) : message + length;
  case data_pointer::data32:
    return at_address(get_le32(message + field::data));
  case data_pointer::data64:
    return at_address(data64);
  }
  return nullptr;
}

bytes program_message(const bytes& raw, unsigned appl_id, data_pointer pointers, held_data& held) {
  std::size_t length = std::min<std::size_t>(get_le16(raw.data()), raw.size());
  bytes message(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(length));
  field::put_le16(message.data() + field::appl_id, static_cast<std::uint16_t>(appl_id));
  std::uint8_t command = message[field::command], subcommand = message[field::subcommand];
  if (command == field::command_data_b3 && subcommand == field::subcommand_ind &&
      length >= field::data_b3_size_without_data64) {
    std::size_t count = raw.size() - length;
    auto copy = std::make_unique<std::uint8_t[]>(count != 0 ? count : 1);
    std::copy(raw.begin() + static_cast<std::ptrdiff_t>(length), raw.end(), copy.get());
    auto address = reinterpret_cast<std::uintptr_t>(copy.get());
    held[{get_le32(message.data() + field::address),
          get_le16(message.data() + field::data_handle)}] = std::move(copy);
    // Data the bridge could not give (a host's false Data length) is not
    // there to read: the program is told of what is.
    field::put_le16(message.data() + field::data_length, static_cast<std::uint16_t>(count));
    if (pointers == data_pointer::data32) {
      message.resize(field::data_b3_size_without_data64);
      field::put_le16(message.data(), field::data_b3_size_without_data64);
      field::put_le32(message.data() + field::data, static_cast<std::uint32_t>(address));
    } else {
      if (message.size() < field::data_b3_size_with_data64) {
        message.resize(field::data_b3_size_with_data64, 0);
        field::put_le16(message.data(), field::data_b3_size_with_data64);
      }
      field::put_le32(message.data() + field::data, 0);
      field::put_le64(message.data() + field::data64, address);
    }
  } else if (auto plci = disconnect_ind_plci(message)) {
    // As the library does: the data of every DATA_B3_IND of that PLCI goes.
    std::erase_if(held, [plci](const auto& h) { return (h.first.ncci & 0xFFFF) == *plci; });
  }
  return message;
}

std::optional<std::uint32_t> disconnect_ind_plci(const bytes& m) {
  if (m.size() < field::address + 4 || m[field::command] != field::command_disconnect ||
      m[field::subcommand] != field::subcommand_ind)
    return std::nullopt;
  return get_le32(m.data() + field::address);
}

} // namespace capi_interface
