// SPDX-License-Identifier: MIT
// The few CAPI 2.0 message fields the bridge reads or writes itself; every
// other byte of a message passes through untouched.
#pragma once

#include <cstdint>

namespace capi_message {

// Header, common to all messages.
constexpr int total_length = 0;
constexpr int command = 4;
constexpr int subcommand = 5;
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

} // namespace capi_message
