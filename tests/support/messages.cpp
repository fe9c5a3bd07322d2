// Request frames for the black-box tests.
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
