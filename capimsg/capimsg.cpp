// SPDX-License-Identifier: MIT
// Builders and readers of CAPI 2.0 messages: parameters in wire order, structs
// length-prefixed, every read bounded by the message's length field.
#include "capi_bridge/capimsg.hpp"

namespace capimsg {

namespace {

// Reads parameters in order. Once a read runs past the end, ok turns false
// and every later read returns zero or an empty view.
struct reader {
  byte_view m;
  std::size_t pos = header_length;
  bool ok = true;

  bool has(std::size_t n) {
    if (ok && m.size() - pos < n) {
      ok = false;
    }
    return ok;
  }
  std::uint16_t u16() {
    if (!has(2)) {
      return 0;
    }
    pos += 2;
    return get_u16(m, pos - 2);
  }
  std::uint32_t u32() {
    if (!has(4)) {
      return 0;
    }
    pos += 4;
    return get_u32(m, pos - 4);
  }
  std::uint64_t u64() {
    if (!has(8)) {
      return 0;
    }
    pos += 8;
    return get_u64(m, pos - 8);
  }
  byte_view cstruct() {
    if (!has(1)) {
      return {};
    }
    std::size_t prefix = 1;
    std::size_t n = m[pos];
    if (n == 0xff) {
      if (!has(3)) {
        return {};
      }
      prefix = 3;
      n = get_u16(m, pos + 1);
    }
    if (!has(prefix + n)) {
      return {};
    }
    byte_view content = m.subspan(pos + prefix, n);
    pos += prefix + n;
    return content;
  }
  bytes cstruct_copy() {
    byte_view s = cstruct();
    return bytes(s.begin(), s.end());
  }
  // Numbers without a presentation octet: called party numbers.
  party_number called_number() {
    byte_view s = cstruct();
    party_number p;
    if (!s.empty()) {
      p.type_plan = s[0] & 0x7f;
      p.digits.assign(s.begin() + 1, s.end());
    }
    return p;
  }
  // Calling and connected numbers: the presentation octet is there when the
  // first octet's extension bit is clear, as in the network's own coding.
  party_number calling_number() {
    byte_view s = cstruct();
    party_number p;
    if (s.empty()) {
      return p;
    }
    p.type_plan = s[0] & 0x7f;
    std::size_t digits_at = 1;
    if ((s[0] & 0x80) == 0 && s.size() > 1) {
      p.presentation = s[1] & 0x7f;
      digits_at = 2;
    }
    p.digits.assign(s.begin() + static_cast<std::ptrdiff_t>(digits_at), s.end());
    return p;
  }
  std::optional<b_protocol> b_protocol_struct() {
    byte_view s = cstruct();
    if (s.empty()) {
      return std::nullopt;
    }
    if (s.size() < 6) {
      ok = false;
      return std::nullopt;
    }
    return b_protocol{get_u16(s, 0), get_u16(s, 2), get_u16(s, 4)};
  }
};

// A reader over the message cut at its length field; one that fails at once
// if the header cannot be read.
reader open(byte_view message) {
  std::optional<header> h = read_header(message);
  if (!h) {
    return reader{{}, 0, false};
  }
  return reader{message.first(h->length)};
}

template <typename T> std::optional<T> done(const reader& r, T value) {
  if (!r.ok) {
    return std::nullopt;
  }
  return value;
}

void append_empty(bytes& m, int count) {
  m.insert(m.end(), static_cast<std::size_t>(count), 0);
}

void append_string_struct(bytes& m, std::initializer_list<std::uint8_t> octets,
                          const std::string& digits) {
  if (digits.empty()) {
    m.push_back(0);
    return;
  }
  bytes content(octets);
  content.insert(content.end(), digits.begin(), digits.end());
  append_struct(m, content);
}

void append_called_number(bytes& m, const party_number& p) {
  append_string_struct(m, {static_cast<std::uint8_t>(p.type_plan | 0x80)}, p.digits);
}

void append_calling_number(bytes& m, const party_number& p) {
  append_string_struct(m,
                       {static_cast<std::uint8_t>(p.type_plan & 0x7f),
                        static_cast<std::uint8_t>(p.presentation | 0x80)},
                       p.digits);
}

void append_b_protocol(bytes& m, const std::optional<b_protocol>& b) {
  if (!b) {
    m.push_back(0);
    return;
  }
  bytes content;
  append_u16(content, b->b1);
  append_u16(content, b->b2);
  append_u16(content, b->b3);
  append_empty(content, 4); // B1, B2, B3 and global configuration
  append_struct(m, content);
}

bytes finished(bytes m) {
  finish_message(m);
  return m;
}

} // namespace

std::optional<header> read_header(byte_view message) {
  if (message.size() < header_length) {
    return std::nullopt;
  }
  namespace at = capi_fields;
  header h{get_u16(message, at::total_length), get_u16(message, at::appl_id), message[at::command],
           message[at::subcommand], get_u16(message, at::message_number)};
  if (h.length < header_length || h.length > message.size()) {
    return std::nullopt;
  }
  return h;
}

bytes begin_message(std::uint16_t appl_id, std::uint8_t command, std::uint8_t subcommand,
                    std::uint16_t number) {
  bytes m;
  append_u16(m, 0);
  append_u16(m, appl_id);
  m.push_back(command);
  m.push_back(subcommand);
  append_u16(m, number);
  return m;
}

void append_struct(bytes& message, byte_view content) {
  if (content.size() < 0xff) {
    message.push_back(static_cast<std::uint8_t>(content.size()));
  } else {
    message.push_back(0xff);
    append_u16(message, static_cast<std::uint16_t>(content.size()));
  }
  message.insert(message.end(), content.begin(), content.end());
}

void finish_message(bytes& message) {
  put_u16(message, 0, static_cast<std::uint16_t>(message.size()));
}

bytes build_conf(std::uint16_t appl_id, std::uint16_t number, std::uint8_t command, const conf& p) {
  bytes m = begin_message(appl_id, command, subcommand::conf, number);
  append_u32(m, p.address);
  append_u16(m, p.info);
  return finished(std::move(m));
}

std::optional<conf> read_conf(byte_view message) {
  reader r = open(message);
  conf p;
  p.address = r.u32();
  p.info = r.u16();
  return done(r, p);
}

bytes build_address_only(std::uint16_t appl_id, std::uint16_t number, std::uint8_t command,
                         std::uint8_t subcommand, std::uint32_t address) {
  bytes m = begin_message(appl_id, command, subcommand, number);
  append_u32(m, address);
  return finished(std::move(m));
}

std::optional<std::uint32_t> read_address(byte_view message) {
  reader r = open(message);
  std::uint32_t address = r.u32();
  return done(r, address);
}

bytes build_listen_req(std::uint16_t appl_id, std::uint16_t number, const listen_req& p) {
  bytes m = begin_message(appl_id, command::listen, subcommand::req, number);
  append_u32(m, p.controller);
  append_u32(m, p.info_mask);
  append_u32(m, p.cip_mask);
  append_u32(m, p.cip_mask2);
  append_calling_number(m, p.calling);
  append_empty(m, 1); // calling party subaddress
  return finished(std::move(m));
}

std::optional<listen_req> read_listen_req(byte_view message) {
  reader r = open(message);
  listen_req p;
  p.controller = r.u32();
  p.info_mask = r.u32();
  p.cip_mask = r.u32();
  p.cip_mask2 = r.u32();
  p.calling = r.calling_number();
  r.cstruct();
  return done(r, p);
}

bytes build_connect_req(std::uint16_t appl_id, std::uint16_t number, const connect_req& p) {
  bytes m = begin_message(appl_id, command::connect, subcommand::req, number);
  append_u32(m, p.controller);
  append_u16(m, p.cip);
  append_called_number(m, p.called);
  append_calling_number(m, p.calling);
  append_empty(m, 2); // called and calling party subaddress
  append_b_protocol(m, p.b);
  append_empty(m, 4); // BC, LLC, HLC, additional info
  return finished(std::move(m));
}

std::optional<connect_req> read_connect_req(byte_view message) {
  reader r = open(message);
  connect_req p;
  p.controller = r.u32();
  p.cip = r.u16();
  p.called = r.called_number();
  p.calling = r.calling_number();
  r.cstruct();
  r.cstruct();
  p.b = r.b_protocol_struct();
  for (int i = 0; i < 4; ++i) {
    r.cstruct();
  }
  return done(r, p);
}

bytes build_connect_ind(std::uint16_t appl_id, std::uint16_t number, const connect_ind& p) {
  bytes m = begin_message(appl_id, command::connect, subcommand::ind, number);
  append_u32(m, p.plci);
  append_u16(m, p.cip);
  append_called_number(m, p.called);
  append_calling_number(m, p.calling);
  append_empty(m, 6); // subaddresses, BC, LLC, HLC, additional info
  return finished(std::move(m));
}

std::optional<connect_ind> read_connect_ind(byte_view message) {
  reader r = open(message);
  connect_ind p;
  p.plci = r.u32();
  p.cip = r.u16();
  p.called = r.called_number();
  p.calling = r.calling_number();
  for (int i = 0; i < 6; ++i) {
    r.cstruct();
  }
  return done(r, p);
}

bytes build_connect_resp(std::uint16_t appl_id, std::uint16_t number, const connect_resp& p) {
  bytes m = begin_message(appl_id, command::connect, subcommand::resp, number);
  append_u32(m, p.plci);
  append_u16(m, p.reject);
  append_b_protocol(m, p.b);
  append_calling_number(m, p.connected);
  append_empty(m, 3); // connected subaddress, LLC, additional info
  return finished(std::move(m));
}

std::optional<connect_resp> read_connect_resp(byte_view message) {
  reader r = open(message);
  connect_resp p;
  p.plci = r.u32();
  p.reject = r.u16();
  p.b = r.b_protocol_struct();
  p.connected = r.calling_number();
  for (int i = 0; i < 3; ++i) {
    r.cstruct();
  }
  return done(r, p);
}

bytes build_connect_active_ind(std::uint16_t appl_id, std::uint16_t number,
                               const connect_active_ind& p) {
  bytes m = begin_message(appl_id, command::connect_active, subcommand::ind, number);
  append_u32(m, p.plci);
  append_calling_number(m, p.connected);
  append_empty(m, 2); // connected subaddress, LLC
  return finished(std::move(m));
}

std::optional<connect_active_ind> read_connect_active_ind(byte_view message) {
  reader r = open(message);
  connect_active_ind p;
  p.plci = r.u32();
  p.connected = r.calling_number();
  r.cstruct();
  r.cstruct();
  return done(r, p);
}

bytes build_select_b_protocol_req(std::uint16_t appl_id, std::uint16_t number,
                                  const select_b_protocol_req& p) {
  bytes m = begin_message(appl_id, command::select_b_protocol, subcommand::req, number);
  append_u32(m, p.plci);
  append_b_protocol(m, p.b);
  return finished(std::move(m));
}

std::optional<select_b_protocol_req> read_select_b_protocol_req(byte_view message) {
  reader r = open(message);
  select_b_protocol_req p;
  p.plci = r.u32();
  p.b = r.b_protocol_struct();
  return done(r, p);
}

bytes build_disconnect_req(std::uint16_t appl_id, std::uint16_t number, std::uint32_t plci) {
  bytes m = begin_message(appl_id, command::disconnect, subcommand::req, number);
  append_u32(m, plci);
  append_empty(m, 1); // additional info
  return finished(std::move(m));
}

bytes build_disconnect_ind(std::uint16_t appl_id, std::uint16_t number, const disconnect_ind& p) {
  bytes m = begin_message(appl_id, command::disconnect, subcommand::ind, number);
  append_u32(m, p.plci);
  append_u16(m, p.reason);
  return finished(std::move(m));
}

std::optional<disconnect_ind> read_disconnect_ind(byte_view message) {
  reader r = open(message);
  disconnect_ind p;
  p.plci = r.u32();
  p.reason = r.u16();
  return done(r, p);
}

bytes build_b3_ncpi(std::uint16_t appl_id, std::uint16_t number, std::uint8_t command,
                    std::uint8_t subcommand, const b3_ncpi& p) {
  bytes m = begin_message(appl_id, command, subcommand, number);
  append_u32(m, p.address);
  append_struct(m, p.ncpi);
  return finished(std::move(m));
}

std::optional<b3_ncpi> read_b3_ncpi(byte_view message) {
  reader r = open(message);
  b3_ncpi p;
  p.address = r.u32();
  p.ncpi = r.cstruct_copy();
  return done(r, p);
}

bytes build_connect_b3_resp(std::uint16_t appl_id, std::uint16_t number, const connect_b3_resp& p) {
  bytes m = begin_message(appl_id, command::connect_b3, subcommand::resp, number);
  append_u32(m, p.ncci);
  append_u16(m, p.reject);
  append_struct(m, p.ncpi);
  return finished(std::move(m));
}

std::optional<connect_b3_resp> read_connect_b3_resp(byte_view message) {
  reader r = open(message);
  connect_b3_resp p;
  p.ncci = r.u32();
  p.reject = r.u16();
  p.ncpi = r.cstruct_copy();
  return done(r, p);
}

bytes build_disconnect_b3_ind(std::uint16_t appl_id, std::uint16_t number,
                              const disconnect_b3_ind& p) {
  bytes m = begin_message(appl_id, command::disconnect_b3, subcommand::ind, number);
  append_u32(m, p.ncci);
  append_u16(m, p.reason_b3);
  append_struct(m, p.ncpi);
  return finished(std::move(m));
}

std::optional<disconnect_b3_ind> read_disconnect_b3_ind(byte_view message) {
  reader r = open(message);
  disconnect_b3_ind p;
  p.ncci = r.u32();
  p.reason_b3 = r.u16();
  p.ncpi = r.cstruct_copy();
  return done(r, p);
}

bytes build_data_b3(std::uint16_t appl_id, std::uint16_t number, std::uint8_t subcommand,
                    const data_b3& p) {
  bytes m = begin_message(appl_id, command::data_b3, subcommand, number);
  append_u32(m, p.ncci);
  append_u32(m, 0); // Data: a pointer, meaningless here
  append_u16(m, static_cast<std::uint16_t>(p.data.size()));
  append_u16(m, p.handle);
  append_u16(m, p.flags);
  if (p.data64) {
    append_u64(m, *p.data64);
  }
  finish_message(m);
  m.insert(m.end(), p.data.begin(), p.data.end());
  return m;
}

std::optional<data_b3_read> read_data_b3(byte_view message) {
  reader r = open(message);
  data_b3_read p;
  p.fields.ncci = r.u32();
  r.u32();
  p.data_length = r.u16();
  p.fields.handle = r.u16();
  p.fields.flags = r.u16();
  if (r.m.size() >= data_b3_long_length) {
    p.fields.data64 = r.u64();
  } else {
    p.fields.data64.reset();
  }
  if (!r.ok) {
    return std::nullopt;
  }
  byte_view after = message.subspan(r.m.size());
  if (after.size() >= p.data_length) {
    p.fields.data.assign(after.begin(), after.begin() + p.data_length);
  }
  return p;
}

bytes build_data_b3_conf(std::uint16_t appl_id, std::uint16_t number, const data_b3_conf& p) {
  bytes m = begin_message(appl_id, command::data_b3, subcommand::conf, number);
  append_u32(m, p.ncci);
  append_u16(m, p.handle);
  append_u16(m, p.info);
  return finished(std::move(m));
}

std::optional<data_b3_conf> read_data_b3_conf(byte_view message) {
  reader r = open(message);
  data_b3_conf p;
  p.ncci = r.u32();
  p.handle = r.u16();
  p.info = r.u16();
  return done(r, p);
}

bytes build_data_b3_resp(std::uint16_t appl_id, std::uint16_t number, const data_b3_resp& p) {
  bytes m = begin_message(appl_id, command::data_b3, subcommand::resp, number);
  append_u32(m, p.ncci);
  append_u16(m, p.handle);
  return finished(std::move(m));
}

std::optional<data_b3_resp> read_data_b3_resp(byte_view message) {
  reader r = open(message);
  data_b3_resp p;
  p.ncci = r.u32();
  p.handle = r.u16();
  return done(r, p);
}

bytes build_facility(std::uint16_t appl_id, std::uint16_t number, std::uint8_t subcommand,
                     const facility& p) {
  bytes m = begin_message(appl_id, command::facility, subcommand, number);
  append_u32(m, p.address);
  append_u16(m, p.selector);
  append_struct(m, p.parameter);
  return finished(std::move(m));
}

std::optional<facility> read_facility(byte_view message) {
  reader r = open(message);
  facility p;
  p.address = r.u32();
  p.selector = r.u16();
  p.parameter = r.cstruct_copy();
  return done(r, p);
}

bytes build_facility_conf(std::uint16_t appl_id, std::uint16_t number, const facility_conf& p) {
  bytes m = begin_message(appl_id, command::facility, subcommand::conf, number);
  append_u32(m, p.address);
  append_u16(m, p.info);
  append_u16(m, p.selector);
  append_struct(m, p.parameter);
  return finished(std::move(m));
}

std::optional<facility_conf> read_facility_conf(byte_view message) {
  reader r = open(message);
  facility_conf p;
  p.address = r.u32();
  p.info = r.u16();
  p.selector = r.u16();
  p.parameter = r.cstruct_copy();
  return done(r, p);
}

bytes build_info_req(std::uint16_t appl_id, std::uint16_t number, const info_req& p) {
  bytes m = begin_message(appl_id, command::info, subcommand::req, number);
  append_u32(m, p.address);
  append_called_number(m, p.called);
  append_empty(m, 1); // additional info
  return finished(std::move(m));
}

std::optional<info_req> read_info_req(byte_view message) {
  reader r = open(message);
  info_req p;
  p.address = r.u32();
  p.called = r.called_number();
  r.cstruct();
  return done(r, p);
}

bytes build_info_ind(std::uint16_t appl_id, std::uint16_t number, const info_ind& p) {
  bytes m = begin_message(appl_id, command::info, subcommand::ind, number);
  append_u32(m, p.address);
  append_u16(m, p.info_number);
  append_struct(m, p.info_element);
  return finished(std::move(m));
}

std::optional<info_ind> read_info_ind(byte_view message) {
  reader r = open(message);
  info_ind p;
  p.address = r.u32();
  p.info_number = r.u16();
  p.info_element = r.cstruct_copy();
  return done(r, p);
}

} // namespace capimsg
