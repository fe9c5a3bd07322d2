// SPDX-License-Identifier: MIT
// Helpers shared by the client library's tests.
#include "support.hpp"

#include <cstdlib>
#include <fstream>
#include <iterator>

using namespace capi_bridge;

std::string bridge_executable() {
  const char* chosen = std::getenv("CAPI_BRIDGE_EXECUTABLE");
  return chosen != nullptr && *chosen != '\0' ? chosen : CAPI_BRIDGE;
}

bytes with_kind(std::uint8_t kind, bytes rest) {
  rest.insert(rest.begin(), kind);
  return rest;
}

bytes frame(const bytes& body) {
  bytes f;
  f.reserve(4 + body.size());
  capimsg::append_u32(f, static_cast<std::uint32_t>(body.size()));
  f.insert(f.end(), body.begin(), body.end());
  return f;
}

bytes open_frame(std::uint16_t port) {
  const std::string host = "127.0.0.1";
  bytes body;
  body.reserve(5 + host.size());
  body.push_back('O');
  capimsg::append_u16(body, port);
  capimsg::append_u16(body, 2);
  body.insert(body.end(), host.begin(), host.end());
  return frame(body);
}

bytes data_b3_req(std::uint16_t data_length, std::uint16_t handle, bool with_data64) {
  return capimsg::build_data_b3(0, 1, capimsg::subcommand::req,
                                {0x10101, handle, 0,
                                 with_data64 ? std::optional<std::uint64_t>(0) : std::nullopt,
                                 bytes(data_length, 0x55)});
}

// The library keeps a 16-byte header and then 24 bytes for each of 1024
// IDs, the first byte's low bit marking it as in use.
std::optional<std::vector<unsigned>> ids_in_use() {
  std::ifstream in("/dev/shm/CAPI20_shared_memory.v01000010", std::ios::binary);
  std::string table((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (table.size() < 16 + 24 * 1024)
    return std::nullopt;
  std::vector<unsigned> ids;
  for (unsigned id = 1; id < 1024; ++id)
    if ((static_cast<unsigned char>(table[16 + 24 * id]) & 1) != 0)
      ids.push_back(id);
  return ids;
}
