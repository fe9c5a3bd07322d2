// SPDX-License-Identifier: MIT
// Request frames and CAPI messages for the black-box tests.
#include "support/messages.hpp"

bytes le16(std::uint16_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)};
}

bytes le32(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

bytes from_hex(const std::string& hex) {
  std::string digits;
  for (char c : hex)
    if (c != ' ')
      digits += c;
  bytes data;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
    data.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return data;
}

bytes counting(std::size_t size, std::uint8_t from) {
  bytes b(size);
  for (std::size_t i = 0; i < size; ++i)
    b[i] = static_cast<std::uint8_t>(from + i);
  return b;
}

bytes frame(const bytes& body) {
  return le32(static_cast<std::uint32_t>(body.size())) + body;
}

bytes frame(const std::string& body) {
  return frame(bytes(body.begin(), body.end()));
}

bytes open_request(std::uint16_t port, std::uint16_t max_logical_connections,
                   const std::string& host) {
  return frame(bytes{'O'} + le16(port) + le16(max_logical_connections) +
               bytes(host.begin(), host.end()));
}

bytes profile_request(std::uint32_t controller) {
  return frame(bytes{'P'} + le32(controller));
}

bytes put_request(const bytes& message, const bytes& payload) {
  return frame(bytes{'M'} + message + payload);
}

bytes message(const std::string& hex) {
  bytes m = from_hex(hex);
  m[0] = static_cast<std::uint8_t>(m.size());
  m[1] = static_cast<std::uint8_t>(m.size() >> 8);
  return m;
}

namespace {

// `m` cut or padded with zeros to `size`, its length field saying so.
bytes sized(bytes m, std::size_t size) {
  m.resize(size, 0);
  m[0] = static_cast<std::uint8_t>(size);
  m[1] = static_cast<std::uint8_t>(size >> 8);
  return m;
}

} // namespace

bytes data_b3_req(std::uint16_t data_length, std::uint16_t handle, std::size_t size) {
  return sized(from_hex("0000 0100 8680 0200 01010100 00000000") + le16(data_length) +
                   le16(handle) + from_hex("0000"),
               size);
}

bytes data_b3_conf(std::uint16_t handle, std::uint16_t info, std::size_t size) {
  return sized(from_hex("0000 0100 8681 0300 01010100") + le16(handle) + le16(info), size);
}

bytes data_b3_ind(std::uint16_t data_length, std::size_t size, std::uint16_t handle,
                  std::uint32_t ncci) {
  return sized(from_hex("0000 0100 8682 0400") + le32(ncci) + from_hex("00000000") +
                   le16(data_length) + le16(handle) + from_hex("0000"),
               size);
}

bytes data_b3_resp(std::uint16_t handle, std::uint32_t ncci) {
  return from_hex("0e00 0100 8683 0500") + le32(ncci) + le16(handle);
}
