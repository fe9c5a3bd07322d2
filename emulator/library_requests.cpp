// SPDX-License-Identifier: MIT
// Library requests: command 0x20/0x80, told apart by the parameter-block
// length at payload offset 10. Their replies use a 2-byte header whose body
// the library reads as a CAPI-shaped message: ID at 2, info at 16.
#include "library_requests.hpp"

using namespace capimsg;

namespace {

constexpr std::uint8_t library_command = 0x20;
constexpr std::uint8_t kind_register = 0x09;
constexpr std::uint8_t kind_release = 0x03;
constexpr std::uint8_t kind_get_profile = 0x05;
constexpr std::size_t reply_body_length = 18;
constexpr std::size_t profile_length = 64;

bytes reply_body(std::uint16_t appl_id, std::uint16_t info) {
  bytes b(reply_body_length, 0);
  put_u16(b, 0, reply_body_length);
  put_u16(b, 2, appl_id);
  b[4] = library_command;
  b[5] = subcommand::conf;
  put_u16(b, 6, 1);
  put_u16(b, 16, info);
  return b;
}

} // namespace

library_request classify(byte_view payload) {
  if (payload.size() < 11 || payload[4] != library_command || payload[5] != subcommand::req) {
    return library_request::none;
  }
  switch (payload[10]) {
  case kind_register:
    return payload.size() >= 20 ? library_request::register_application : library_request::unknown;
  case kind_release:
    return library_request::release;
  case kind_get_profile:
    return payload.size() >= 16 ? library_request::get_profile : library_request::unknown;
  default:
    return library_request::unknown;
  }
}

registration read_registration(byte_view payload) {
  return {get_u16(payload, 14), get_u16(payload, 16), get_u16(payload, 18)};
}

std::uint16_t read_profile_controller(byte_view payload) {
  return get_u16(payload, 14);
}

bytes register_reply(std::uint16_t appl_id, std::uint16_t info) {
  bytes reply = {0x80, static_cast<std::uint8_t>(reply_body_length)};
  bytes body = reply_body(appl_id, info);
  reply.insert(reply.end(), body.begin(), body.end());
  return reply;
}

bytes profile_reply(unsigned controllers, std::uint16_t controller) {
  const bool exists = controller <= controllers;
  bytes reply = {0x80, static_cast<std::uint8_t>(reply_body_length + profile_length)};
  bytes body = reply_body(0, exists ? info::no_error : info::illegal_address);
  reply.insert(reply.end(), body.begin(), body.end());
  bytes profile;
  if (exists) {
    append_u16(profile, static_cast<std::uint16_t>(controllers));
    append_u16(profile, 2);    // B channels
    append_u32(profile, 0x01); // global options: internal controller only
    append_u32(profile, 0x03); // B1: 64 kbit/s HDLC, 64 kbit/s transparent
    append_u32(profile, 0x03); // B2: X.75, transparent
    append_u32(profile, 0x01); // B3: transparent
    profile.resize(profile_length - 20, 0);
    const char maker[] = "capi-host-emulator"; // in the manufacturer-specific words
    profile.insert(profile.end(), maker, maker + sizeof maker - 1);
  }
  profile.resize(profile_length, 0);
  reply.insert(reply.end(), profile.begin(), profile.end());
  return reply;
}
