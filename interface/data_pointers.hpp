// SPDX-License-Identifier: MIT
// How a program's DATA_B3 messages carry their data pointers: a
// DATA_B3_REQ's data read through the program's pointer, a DATA_B3_IND's
// data copied and pointed at, and the copies let go of as the library lets
// go of its buffers. No state of its own: the caller keeps the copies.
#pragma once

#include "capi20_interface.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>

namespace capi_interface {

// A DATA_B3_IND's data is held under its NCCI and Data handle: the library
// hands a Data handle out again once it is free, to any call of the
// application, and a response for one call must not free another's data.
struct held_key {
  std::uint32_t ncci = 0;
  std::uint16_t handle = 0;
  auto operator<=>(const held_key&) const = default;
};
// The copies of DATA_B3_IND data the program may still read.
using held_data = std::map<held_key, std::unique_ptr<std::uint8_t[]>>;

// The data a DATA_B3_REQ of `length` bytes points at in the program's
// memory, read as `pointers` says; nullptr when it names none.
const std::uint8_t* request_data(const std::uint8_t* message, std::size_t length,
                                 data_pointer pointers);

// A Get reply's data (a message, and a DATA_B3_IND's data behind it) as the
// program is to see it: the program's ApplID `appl_id`; a DATA_B3_IND in the
// form `pointers` calls for, pointing at a copy of its data kept in `held`;
// a DISCONNECT_IND lets go of the copies of its PLCI, as the library does.
capi_bridge::bytes program_message(const capi_bridge::bytes& raw, unsigned appl_id,
                                   data_pointer pointers, held_data& held);

// The PLCI of a DISCONNECT_IND; nothing for any other message.
std::optional<std::uint32_t> disconnect_ind_plci(const capi_bridge::bytes& m);

} // namespace capi_interface
