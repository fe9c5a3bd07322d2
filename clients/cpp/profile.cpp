// SPDX-License-Identifier: MIT
// The CAPI profile (CAPI_GET_PROFILE, 64 bytes) decoded, and the names of
// its option and protocol bits as CAPI 2.0 defines them.
#include "capi_bridge/client.hpp"

namespace capi_bridge {

namespace {

std::string name_of(unsigned bit, std::initializer_list<const char*> names) {
  return bit < names.size() ? names.begin()[bit] : "";
}

} // namespace

controller_profile decode_profile(const std::array<std::uint8_t, 64>& raw) {
  const byte_view p(raw);
  controller_profile out;
  out.controllers = capimsg::get_u16(p, 0);
  out.b_channels = capimsg::get_u16(p, 2);
  out.global_options = capimsg::get_u32(p, 4);
  out.b1_protocols = capimsg::get_u32(p, 8);
  out.b2_protocols = capimsg::get_u32(p, 12);
  out.b3_protocols = capimsg::get_u32(p, 16);
  // Bytes 20..43 are reserved; the manufacturer's five words follow.
  for (std::size_t i = 0; i < out.manufacturer.size(); ++i)
    out.manufacturer[i] = capimsg::get_u32(p, 44 + 4 * i);
  out.raw = raw;
  return out;
}

std::string global_option_name(unsigned bit) {
  return name_of(bit, {"internal controller", "external equipment", "handset", "DTMF",
                       "supplementary services", "channel allocation (leased lines)",
                       "B channel operation parameter", "line interconnect"});
}

std::string b1_protocol_name(unsigned bit) {
  return name_of(bit, {"64 kbit/s HDLC", "64 kbit/s transparent", "V.110 asynchronous",
                       "V.110 synchronous HDLC", "T.30 fax G3", "64 kbit/s inverted HDLC",
                       "56 kbit/s transparent", "modem, all negotiations", "modem asynchronous",
                       "modem synchronous HDLC"});
}

std::string b2_protocol_name(unsigned bit) {
  return name_of(bit, {"X.75 SLP", "transparent", "SDLC", "LAPD (Q.921) for D channel X.25",
                       "T.30 fax G3", "PPP", "transparent, framing errors ignored",
                       "modem error correction and compression", "X.75 SLP with V.42bis",
                       "V.120 asynchronous", "V.120 asynchronous with V.42bis",
                       "V.120 bit-transparent", "LAPD (Q.921), free SAPI"});
}

std::string b3_protocol_name(unsigned bit) {
  return name_of(bit, {"transparent", "T.90NL / T.70NL", "ISO 8208 (X.25 DTE-DTE)", "X.25 DCE",
                       "T.30 fax G3", "T.30 fax G3 extended", "", "modem"});
}

} // namespace capi_bridge
