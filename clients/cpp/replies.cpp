// SPDX-License-Identifier: MIT
// The client's rules about replies: whether a reply has the shape its
// request kind calls for, whose value an info is (the library's or the
// bridge's), and the books that follow the replies (the registered
// application, Data handles in flight, counters).
#include "client_detail.hpp"

#include <algorithm>
#include <cstdio>

namespace capi_bridge {

namespace client_detail {

bool is(byte_view message, std::uint8_t command, std::uint8_t subcommand) {
  return message.size() >= capimsg::header_length && message[4] == command &&
         message[5] == subcommand;
}

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04lX", static_cast<unsigned long>(value));
  return text;
}

std::string each_record(const bytes& data,
                        const std::function<void(std::uint32_t info, bytes data)>& record) {
  std::size_t at = 0;
  while (at < data.size()) {
    if (data.size() - at < 8)
      return "a batch record cut short at byte " + std::to_string(at);
    std::uint32_t length = field::get_le32(data.data() + at);
    std::uint32_t info = field::get_le32(data.data() + at + 4);
    if (length < 4 || length - 4 > data.size() - at - 8)
      return "a batch record's length field " + hex(length) + " beyond the reply";
    auto from = data.begin() + static_cast<std::ptrdiff_t>(at + 8);
    bytes one(from, from + static_cast<std::ptrdiff_t>(length - 4));
    at += 4 + length;
    if (info != 0 && at != data.size())
      return "info " + hex(info) + " on a batch record before the last";
    if (std::string wrong = check_reply('G', info, one); !wrong.empty())
      return wrong;
    if (record)
      record(info, std::move(one));
  }
  return {};
}

std::string check_reply(std::uint8_t kind, std::uint32_t info, const bytes& data) {
  auto size_must_be = [&](std::size_t expected) {
    return data.size() == expected ? std::string()
                                   : std::to_string(data.size()) + " data bytes where " +
                                         std::to_string(expected) + " belong";
  };
  switch (kind) {
  case 'O': {
    if (std::string wrong = size_must_be(open_result_size); !wrong.empty())
      return wrong;
    // Registered exactly when the info is 0, and then with an application.
    std::uint32_t appl_id = field::get_le32(data.data());
    std::uint8_t stage = data[4];
    bool registered = stage == static_cast<std::uint8_t>(open_stage::registered);
    if (stage > static_cast<std::uint8_t>(open_stage::register_failed) || registered != (info == 0))
      return "stage " + std::to_string(stage) + " with info " + hex(info);
    if (registered != (appl_id != 0))
      return "stage " + std::to_string(stage) + " with application " + std::to_string(appl_id);
    return {};
  }
  case 'P':
    return size_must_be(profile_size);
  case 'G':
  case 'W': {
    if (info != 0)
      return size_must_be(0);
    auto h = capimsg::read_header(data);
    if (!h)
      return "no CAPI message in a Get reply of " + std::to_string(data.size()) + " bytes";
    std::size_t extra = data.size() - h->length;
    if (extra == 0)
      return {};
    if (!is(data, cmd::data_b3, sub::ind) || h->length < capimsg::data_b3_short_length)
      return std::to_string(extra) + " bytes after a message that is no DATA_B3_IND";
    if (capimsg::get_u16(data, field::data_length) != extra)
      return std::to_string(extra) + " B3 data bytes where the DATA_B3_IND says " +
             std::to_string(capimsg::get_u16(data, field::data_length));
    return {};
  }
  case 'B':
    if (info != 0)
      return size_must_be(0);
    if (data.empty())
      return "a batch with info 0 and no records";
    return each_record(data, nullptr);
  default:
    return size_must_be(0);
  }
}

} // namespace client_detail

using namespace client_detail;

std::string info_text(std::uint32_t info) {
  return info > 0xFFFF ? "unknown info value"
                       : capimsg::info_text(static_cast<std::uint16_t>(info));
}

bool message_result::empty() const {
  return status.from == source::bridge && status.info == info_queue_empty;
}

bool message_result::host_gone() const {
  return status.from == source::bridge && status.info == info_host_gone;
}

std::string outcome::text() const {
  switch (from) {
  case source::none:
    return "ok";
  case source::library:
    return hex(info) + " (library): " + info_text(info);
  case source::bridge:
    return hex(info) + " (bridge): " + info_text(info) + (failure.empty() ? "" : ": " + failure);
  case source::transport:
    return "transport failure: " + failure;
  }
  return {};
}

outcome client::judge(byte_view body, std::uint32_t info, const bytes& data) {
  if (info == 0)
    return {};
  auto by = [info](bool bridge) {
    return outcome{bridge ? source::bridge : source::library, info, {}};
  };
  switch (body[0]) {
  case 'O':
    return by(info == info_not_installed && body.size() <= 4 &&
              data[4] == static_cast<std::uint8_t>(open_stage::capi_not_available));
  case 'P':
    return by(info == info_not_installed);
  case 'I':
    // The library's 0x1009 unless the request was cut short; open() and
    // installed() ask Profile whether a library is there at all.
    return by(info == info_illegal_command || (info == info_not_installed && body.size() <= 4));
  case 'R':
    return by(true);
  case 'G':
  case 'W':
  case 'B':
    // 0x1102: a frame that held no usable message, dropped; 0x1108: the
    // host has gone.
    return by(info == info_queue_empty || info == info_illegal_command || info == info_host_gone);
  case 'C':
    return by(false);
  case 'M': {
    byte_view message = body.subspan(1);
    bool framed = message.size() >= capimsg::header_length;
    std::size_t length = framed ? capimsg::get_u16(message, 0) : 0;
    bool well_formed = framed && length >= capimsg::header_length && length <= max_message_length &&
                       length <= message.size();
    bool data_b3_req = well_formed && is(message, cmd::data_b3, sub::req);
    std::size_t data_sent = 0;
    if (data_b3_req && length >= capimsg::data_b3_short_length)
      data_sent = std::min<std::size_t>(capimsg::get_u16(message, field::data_length),
                                        message.size() - length);
    switch (info) {
    case info_illegal_appl_id:
      return by(!framed || s_->appl_id == 0);
    case info_illegal_command:
      if (!well_formed)
        return {source::bridge, info,
                "not a CAPI message: its length field is below " +
                    std::to_string(capimsg::header_length) + ", above " +
                    std::to_string(max_message_length) + " or beyond the bytes given"};
      if (data_b3_req && length < capimsg::data_b3_long_length)
        return {source::bridge, info,
                "a DATA_B3_REQ must come in its " + std::to_string(capimsg::data_b3_long_length) +
                    "-byte form (with Data64)"};
      if (length + data_sent > library_send_limit)
        return {source::bridge, info,
                "message and data above the library's " + std::to_string(library_send_limit) +
                    " bytes"};
      return by(false);
    case info_os_resource_error:
      return by(data_b3_req);
    case info_queue_busy:
      return by(data_b3_req && length >= capimsg::data_b3_short_length &&
                handles_in_flight_[capimsg::get_u16(message, field::data_handle)]);
    case info_data_length_not_supported:
      return by(data_b3_req && length >= capimsg::data_b3_short_length &&
                capimsg::get_u16(message, field::data_length) > data_b3_limit);
    case info_not_in_current_state:
      return by(well_formed && is(message, cmd::data_b3, sub::resp));
    default:
      return by(false);
    }
  }
  default:
    return by(info == info_illegal_command);
  }
}

// The bridge's state as far as the client can see it: the application
// registered, and the payload copies it keeps under their Data handles until
// their DATA_B3_CONF is fetched. A fresh registration starts with none.
void client::follow(byte_view body, const raw_reply& reply) {
  if (body[0] == 'O') {
    auto stage = static_cast<open_stage>(reply.data[4]);
    if (stage == open_stage::registered && reply.info == 0) {
      s_->appl_id = field::get_le32(reply.data.data());
      handles_in_flight_.reset();
    } else if (stage == open_stage::register_failed) {
      s_->appl_id = 0;
    }
  } else if (body[0] == 'C') {
    s_->appl_id = 0;
  } else if (body[0] == 'M' && reply.info == 0) {
    ++traffic_.messages_put;
    byte_view message = body.subspan(1);
    // The bridge passes on no DATA_B3_REQ shorter than 30 bytes or than its
    // length field.
    if (is(message, cmd::data_b3, sub::req) && message.size() >= capimsg::data_b3_long_length &&
        capimsg::get_u16(message, 0) <= message.size()) {
      std::size_t length = capimsg::get_u16(message, 0);
      std::size_t declared = capimsg::get_u16(message, field::data_length);
      std::size_t present = message.size() - length;
      traffic_.b3_bytes_put += declared < present ? declared : present;
      handles_in_flight_.set(capimsg::get_u16(message, field::data_handle));
    }
  } else if ((body[0] == 'G' || body[0] == 'W') && reply.info == 0) {
    follow_message(reply.data);
  } else if (body[0] == 'B' && reply.info == 0) {
    each_record(reply.data, [this](std::uint32_t info, const bytes& data) {
      if (info == 0)
        follow_message(data);
    });
  }
}

void client::follow_message(const bytes& data) {
  ++traffic_.messages_got;
  std::size_t length = capimsg::get_u16(data, 0);
  traffic_.b3_bytes_got += data.size() - length;
  if (is(data, cmd::data_b3, sub::conf) && length >= field::data_b3_conf_size_with_handle)
    handles_in_flight_.reset(capimsg::get_u16(data, field::conf_data_handle));
  if (trace_)
    trace_(direction::from_library, byte_view(data));
}

std::vector<raw_reply> client::batch_records(const raw_reply& reply) const {
  if (!reply.status.ok() || reply.data.empty())
    return {reply};
  std::vector<raw_reply> out;
  each_record(reply.data, [&out](std::uint32_t info, bytes data) {
    raw_reply one;
    one.info = info;
    // Whose value it is, as judge() tells a Get's.
    bool bridge =
        info == info_queue_empty || info == info_illegal_command || info == info_host_gone;
    if (info != 0)
      one.status = {bridge ? source::bridge : source::library, info, {}};
    one.data = std::move(data);
    out.push_back(std::move(one));
  });
  return out;
}

message_result client::message_from(raw_reply r) {
  message_result out;
  out.status = r.status;
  if (r.status.ok()) {
    std::size_t length = capimsg::get_u16(r.data, 0);
    out.b3_data.assign(r.data.begin() + static_cast<std::ptrdiff_t>(length), r.data.end());
    r.data.resize(length);
    out.message = std::move(r.data);
  }
  return out;
}

} // namespace capi_bridge
