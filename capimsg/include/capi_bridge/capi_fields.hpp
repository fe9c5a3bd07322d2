// SPDX-License-Identifier: MIT
// CAPI 2.0 messages at the level of bytes: little-endian fields and the
// offsets of the few fields that the bridge reads or writes itself (every
// other byte of a message passes through it untouched). The one copy of
// both, for the bridge and for capimsg. No other headers, no allocation.
#pragma once

#include <cstdint>

namespace capi_fields {

inline std::uint16_t get_le16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>(at[0] | at[1] << 8);
}

inline std::uint32_t get_le32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

inline std::uint64_t get_le64(const std::uint8_t* at) {
  return get_le32(at) | static_cast<std::uint64_t>(get_le32(at + 4)) << 32;
}

inline void put_le16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}

// Spelled out byte by byte, which compilers turn into one store.
inline void put_le32(std::uint8_t* at, std::uint32_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
  at[2] = static_cast<std::uint8_t>(value >> 16);
  at[3] = static_cast<std::uint8_t>(value >> 24);
}

inline void put_le64(std::uint8_t* at, std::uint64_t value) {
  put_le32(at, static_cast<std::uint32_t>(value));
  put_le32(at + 4, static_cast<std::uint32_t>(value >> 32));
}

// Header, common to all messages.
constexpr int total_length = 0;
constexpr int appl_id = 2;
constexpr int command = 4;
constexpr int subcommand = 5;
constexpr int message_number = 6;
constexpr int header_size = 8;

constexpr std::uint8_t command_disconnect = 0x04;
constexpr std::uint8_t command_disconnect_b3 = 0x84;
constexpr std::uint8_t command_data_b3 = 0x86;
constexpr std::uint8_t subcommand_req = 0x80;
constexpr std::uint8_t subcommand_conf = 0x81;
constexpr std::uint8_t subcommand_ind = 0x82;
constexpr std::uint8_t subcommand_resp = 0x83;

// The PLCI or NCCI a message is about, right after the header.
constexpr int address = 8;

// DATA_B3_REQ and DATA_B3_IND.
constexpr int data = 12; // 32-bit data pointer
constexpr int data_length = 16;
constexpr int data_handle = 18;
constexpr int data64 = 22; // 64-bit data pointer
constexpr int data_b3_size_without_data64 = 22;
constexpr int data_b3_size_with_data64 = 30;

// DATA_B3_RESP.
constexpr int resp_data_handle = 12;
constexpr int data_b3_resp_size = 14;

// DATA_B3_CONF.
constexpr int conf_data_handle = 12;
constexpr int data_b3_conf_size_with_handle = 14;

} // namespace capi_fields
