// SPDX-License-Identifier: MIT
// The requests of the library's own, byte for byte as the host expects them.
#include "wire.hpp"

namespace libcapi20 {

namespace {

// The 13 bytes the three requests share, then their parameter-block length.
// 16-bit fields take the low 16 bits of what they are given.
void build_request_head(std::uint8_t* frame, std::size_t frame_size, unsigned appl_id,
                        std::uint8_t parameter_length) {
  auto length = static_cast<std::uint16_t>(frame_size - frame_header_size);
  frame[0] = frame_type;
  capi_fields::put_le16(frame + 1, length);
  capi_fields::put_le16(frame + 3, length);
  capi_fields::put_le16(frame + 5, static_cast<std::uint16_t>(appl_id));
  frame[7] = 0x20;
  frame[8] = capi_fields::subcommand_req;
  capi_fields::put_le16(frame + 9, 1);
  frame[11] = 0x02;
  frame[12] = 0x00;
  frame[13] = parameter_length;
}

} // namespace

void build_register_request(std::uint8_t* frame, unsigned max_logical_connections,
                            unsigned max_b_data_blocks, unsigned max_b_data_length) {
  build_request_head(frame, register_request_size, 0, 0x09);
  frame[14] = 0x00;
  frame[15] = 0x00;
  frame[16] = 0x06;
  capi_fields::put_le16(frame + 17, static_cast<std::uint16_t>(max_logical_connections));
  capi_fields::put_le16(frame + 19, static_cast<std::uint16_t>(max_b_data_blocks));
  capi_fields::put_le16(frame + 21, static_cast<std::uint16_t>(max_b_data_length));
}

void build_release_request(std::uint8_t* frame, unsigned appl_id) {
  build_request_head(frame, release_request_size, appl_id, 0x03);
  frame[14] = 0x01;
  frame[15] = 0x00;
  frame[16] = 0x00;
}

void build_profile_request(std::uint8_t* frame, unsigned controller) {
  build_request_head(frame, profile_request_size, 0, 0x05);
  frame[14] = 0x02;
  frame[15] = 0x00;
  frame[16] = 0x02;
  capi_fields::put_le16(frame + 17, static_cast<std::uint16_t>(controller));
  frame[19] = 0x00;
  frame[20] = 0x00;
}

std::size_t receive_buffer_size(unsigned max_b_data_length) {
  std::size_t block = max_b_data_length < 0xffff ? max_b_data_length : 0xffff;
  return 128 + block < 2048 ? 2048 : 128 + block;
}

} // namespace libcapi20
