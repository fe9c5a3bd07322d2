// The bytes the black-box tests send: request frames, little-endian
// throughout.
#pragma once

#include "harness/hex.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using bytes = std::vector<std::uint8_t>;

bytes le16(std::uint16_t value);
bytes le32(std::uint32_t value);
template <typename T> std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
// Spaces between the digits are ignored.
bytes from_hex(const std::string& hex);
inline std::string to_hex(const bytes& data) { return harness::hex(data); }

// Request frames.
bytes frame(const bytes& body);
bytes frame(const std::string& body);
bytes open_request(std::uint16_t port, std::uint16_t max_logical_connections,
                   const std::string& host);
bytes profile_request(std::uint32_t controller);
bytes put_request(const bytes& message, const bytes& payload = {});
