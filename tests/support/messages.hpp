// SPDX-License-Identifier: MIT
// The bytes the black-box tests send and expect: request frames, and the
// CAPI messages that several tests use, built as Debian's library lays
// them out. Little-endian throughout.
#pragma once

#include "harness/hex.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using bytes = std::vector<std::uint8_t>;
using lines = std::vector<std::string>;

bytes le16(std::uint16_t value);
bytes le32(std::uint32_t value);
template <typename T> std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
// Spaces between the digits are ignored.
bytes from_hex(const std::string& hex);
inline std::string to_hex(const bytes& data) {
  return harness::hex(data);
}
// `size` bytes counting up from `from`, wrapping at 256.
bytes counting(std::size_t size, std::uint8_t from = 0);

// Request frames.
bytes frame(const bytes& body);
bytes frame(const std::string& body);
bytes open_request(std::uint16_t port, std::uint16_t max_logical_connections,
                   const std::string& host);
bytes profile_request(std::uint32_t controller);
bytes put_request(const bytes& message, const bytes& payload = {});

// Open's reply data for application 1, registered.
inline const bytes registered_1 = from_hex("0100000000");

// A CAPI message from hex, its total length field set to its size.
bytes message(const std::string& hex);
// A 26-byte LISTEN_REQ as Debian's library sends it.
inline const bytes listen_req =
    message("0000 0100 0580 0100 01000000 ff030000 ff031f00 00 00 00 00 00 00");
// The LISTEN_CONF that answers it, Info 0.
inline const bytes listen_conf = message("0000 0100 0581 0100 01000000 0000");
// DATA_B3 messages on NCCI 0x00010101 unless named, each `size` bytes long
// (the message's own length field says so), cut or padded with zeros.
bytes data_b3_req(std::uint16_t data_length, std::uint16_t handle, std::size_t size = 30);
bytes data_b3_conf(std::uint16_t handle, std::uint16_t info = 0, std::size_t size = 16);
bytes data_b3_ind(std::uint16_t data_length, std::size_t size = 30, std::uint16_t handle = 7,
                  std::uint32_t ncci = 0x00010101);
bytes data_b3_resp(std::uint16_t handle, std::uint32_t ncci = 0x00010101);
