// SPDX-License-Identifier: MIT
// Two digits per byte, high nibble first.
#include "harness/hex.hpp"

namespace harness {

std::string hex(capimsg::byte_view data) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * data.size());
  for (std::uint8_t b : data) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

} // namespace harness
