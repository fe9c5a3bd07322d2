// SPDX-License-Identifier: MIT
// The client: request frames out, reply frames in, each reply checked for
// its shape, attributed to the library or the bridge, and counted.
#include "capi_bridge/client.hpp"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace capi_bridge {

namespace {

namespace cmd = capimsg::command;
namespace sub = capimsg::subcommand;

constexpr std::size_t max_request_body = 0x100000;
// The largest reply any request can bring: a message and its B3 data stay
// far below this; anything longer is not a reply of the bridge.
constexpr std::size_t max_reply_body = 0x100000;
constexpr std::size_t open_result_size = 5;
constexpr std::size_t profile_size = 64;
constexpr std::uint32_t data_b3_limit = 2048;
// The most of a message, a DATA_B3_REQ's data included, that the library
// sends intact; the bridge refuses more.
constexpr std::size_t library_send_limit = 2173;
// Where a DATA_B3_REQ carries its Data handle, and a DATA_B3_CONF its own;
// the bridge reads it from a DATA_B3_CONF of at least 14 bytes.
constexpr std::size_t req_data_handle = 18;
constexpr std::size_t conf_data_handle = 12;
constexpr std::size_t conf_length_with_handle = 14;

// The bridge's own values (see outcome in the header).
enum : std::uint32_t {
  info_os_resource_error = 0x1008,
  info_not_installed = 0x1009,
  info_illegal_appl_id = 0x1101,
  info_illegal_command = 0x1102,
  info_queue_busy = 0x1103,
  info_queue_empty = 0x1104,
  info_host_gone = 0x1108,
  info_not_in_current_state = 0x2001,
  info_data_length_not_supported = 0x300C,
};

std::uint32_t le32(const std::uint8_t* at) {
  return capimsg::get_u32(byte_view(at, 4), 0);
}

bool is(byte_view message, std::uint8_t command, std::uint8_t subcommand) {
  return message.size() >= capimsg::header_length && message[4] == command &&
         message[5] == subcommand;
}

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04lX", static_cast<unsigned long>(value));
  return text;
}

std::string kind_name(std::uint8_t kind) {
  switch (kind) {
  case 'O':
    return "Open";
  case 'P':
    return "Profile";
  case 'M':
    return "Put";
  case 'G':
    return "Get";
  case 'W':
    return "waiting Get";
  case 'C':
    return "Close";
  default:
    return "request '" + std::string(1, static_cast<char>(kind)) + "'";
  }
}

// What is wrong with a reply's data for its request kind; empty if nothing.
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
    std::uint32_t appl_id = le32(data.data());
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
    if (capimsg::get_u16(data, 16) != extra)
      return std::to_string(extra) + " B3 data bytes where the DATA_B3_IND says " +
             std::to_string(capimsg::get_u16(data, 16));
    return {};
  }
  default:
    return size_must_be(0);
  }
}

} // namespace

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
    return hex(info) + " (bridge): " + info_text(info);
  case source::transport:
    return "transport failure: " + failure;
  }
  return {};
}

client::client(client_options options) : options_(std::move(options)) {
  if (!process_.start({options_.command, options_.environment, options_.stderr_path, {}})) {
    gone_ = true;
    gone_reason_ = process_.error();
  }
}

client::~client() {
  if (!process_.running())
    return;
  process_.close_input();
  if (!process_.wait(after(std::chrono::milliseconds(2000))))
    process_.kill();
}

outcome client::fail(const std::string& why) {
  gone_ = true;
  gone_reason_ = why;
  process_.kill();
  exit_ = process_.wait(after(std::chrono::milliseconds(0)));
  return {source::transport, 0, why};
}

std::optional<client::reply_frame>
client::exchange(byte_view body, std::chrono::milliseconds timeout, outcome& failure) {
  if (gone_) {
    failure = {source::transport, 0, "the bridge is not in use any more: " + gone_reason_};
    return std::nullopt;
  }
  if (body.empty() || body.size() > max_request_body) {
    failure = {source::transport, 0,
               "a request body of " + std::to_string(body.size()) +
                   " bytes is outside 1..1048576; not sent"};
    return std::nullopt;
  }
  const std::string what = kind_name(body[0]);
  bytes frame;
  frame.reserve(4 + body.size());
  capimsg::append_u32(frame, static_cast<std::uint32_t>(body.size()));
  frame.insert(frame.end(), body.begin(), body.end());

  auto start = std::chrono::steady_clock::now();
  deadline until = start + timeout;
  // The reasons a reply did not come, in the words of the caller.
  auto lost = [&](io_result r, const char* doing) -> std::optional<reply_frame> {
    if (r == io_result::timed_out) {
      failure = fail(what + ": no reply within " + std::to_string(timeout.count()) +
                     " ms; the bridge was killed");
      return std::nullopt;
    }
    // The bridge went away: give it a moment to be reaped, so that the
    // report can say how it ended.
    auto ended = process_.wait(after(std::chrono::milliseconds(1000)));
    std::string how = "the bridge ended";
    if (ended && ended->exited)
      how += " with exit status " + std::to_string(ended->code);
    else if (ended && ended->signal != 0)
      how += " by signal " + std::to_string(ended->signal);
    failure = fail(what + ": " + (r == io_result::ended ? how : std::string("I/O error")) +
                   " while " + doing);
    return std::nullopt;
  };

  if (io_result r = process_.write(frame.data(), frame.size(), until); r != io_result::done)
    return lost(r, "writing the request");
  traffic_.bytes_written += frame.size();
  std::uint8_t head[8];
  if (io_result r = read_output(head, sizeof head, until); r != io_result::done)
    return lost(r, "reading the reply");
  std::uint32_t length = le32(head);
  if (head[3] != 0 || length < 4 || length - 4 > max_reply_body) {
    failure = fail(what + ": malformed reply, length field " + hex(length));
    return std::nullopt;
  }
  reply_frame reply;
  reply.info = le32(head + 4);
  reply.data.resize(length - 4);
  if (io_result r = read_output(reply.data.data(), reply.data.size(), until); r != io_result::done)
    return lost(r, "reading the reply");
  if (round_trip_trace_)
    round_trip_trace_(std::chrono::steady_clock::now() - start);
  ++traffic_.requests;
  traffic_.bytes_read += sizeof head + reply.data.size();
  if (std::string wrong = check_reply(body[0], reply.info, reply.data); !wrong.empty()) {
    failure = fail(what + ": malformed reply: " + wrong);
    return std::nullopt;
  }
  return reply;
}

// A reply's header and data usually arrive together: one read takes both
// into the buffer, where a read of each would cost a wait and a read apiece.
io_result client::read_output(std::uint8_t* data, std::size_t size, deadline until) {
  while (size > 0) {
    if (output_start_ == output_end_) {
      if (output_.empty())
        output_.resize(output_buffer_size);
      std::size_t got = 0;
      if (io_result r = process_.read_some(output_.data(), output_.size(), got, until);
          r != io_result::done)
        return r;
      output_start_ = 0;
      output_end_ = got;
    }
    std::size_t take = std::min(size, output_end_ - output_start_);
    std::copy_n(output_.begin() + static_cast<std::ptrdiff_t>(output_start_), take, data);
    output_start_ += take;
    data += take;
    size -= take;
  }
  return io_result::done;
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
  case 'G':
  case 'W':
    // 0x1102: a frame that held no usable message, dropped; 0x1108: the
    // host has gone.
    return by(info == info_queue_empty || info == info_illegal_command || info == info_host_gone);
  case 'C':
    return by(false);
  case 'M': {
    byte_view message = body.subspan(1);
    bool framed = message.size() >= capimsg::header_length;
    std::size_t length = framed ? capimsg::get_u16(message, 0) : 0;
    bool well_formed =
        framed && length >= capimsg::header_length && length <= 8192 && length <= message.size();
    bool data_b3_req = well_formed && is(message, cmd::data_b3, sub::req);
    std::size_t data_sent = 0;
    if (data_b3_req && length >= capimsg::data_b3_short_length)
      data_sent = std::min<std::size_t>(capimsg::get_u16(message, 16), message.size() - length);
    switch (info) {
    case info_illegal_appl_id:
      return by(!framed || appl_id_ == 0);
    case info_illegal_command:
      return by(!well_formed || length + data_sent > library_send_limit ||
                (data_b3_req && length < capimsg::data_b3_long_length));
    case info_os_resource_error:
      return by(data_b3_req);
    case info_queue_busy:
      return by(data_b3_req && length >= capimsg::data_b3_short_length &&
                handles_in_flight_[capimsg::get_u16(message, req_data_handle)]);
    case info_data_length_not_supported:
      return by(data_b3_req && length >= capimsg::data_b3_short_length &&
                capimsg::get_u16(message, 16) > data_b3_limit);
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

raw_reply client::request(byte_view body) {
  raw_reply out;
  auto reply = exchange(body, time_allowed(body), out.status);
  if (!reply)
    return out;
  out.info = reply->info;
  out.data = std::move(reply->data);
  out.status = judge(body, out.info, out.data);

  follow(body, out);
  return out;
}

// Open may wait on the network; a waiting Get waits its time-out first.
std::chrono::milliseconds client::time_allowed(byte_view body) const {
  if (!body.empty() && body[0] == 'O')
    return options_.open_timeout;
  if (body.size() >= wait_request_length && body[0] == 'W')
    return options_.request_timeout + std::chrono::milliseconds(std::min<std::uint32_t>(
                                          capimsg::get_u32(body, 1), longest_wait));
  return options_.request_timeout;
}

// The bridge's state as far as the client can see it: the application
// registered, and the payload copies it keeps under their Data handles until
// their DATA_B3_CONF is fetched. A fresh registration starts with none.
void client::follow(byte_view body, const raw_reply& reply) {
  if (body[0] == 'O') {
    auto stage = static_cast<open_stage>(reply.data[4]);
    if (stage == open_stage::registered && reply.info == 0) {
      appl_id_ = le32(reply.data.data());
      handles_in_flight_.reset();
    } else if (stage == open_stage::register_failed) {
      appl_id_ = 0;
    }
  } else if (body[0] == 'C') {
    appl_id_ = 0;
  } else if (body[0] == 'M' && reply.info == 0) {
    ++traffic_.messages_put;
    byte_view message = body.subspan(1);
    // The bridge passes on no DATA_B3_REQ shorter than 30 bytes or than its
    // length field.
    if (is(message, cmd::data_b3, sub::req) && message.size() >= capimsg::data_b3_long_length &&
        capimsg::get_u16(message, 0) <= message.size()) {
      std::size_t length = capimsg::get_u16(message, 0);
      std::size_t declared = capimsg::get_u16(message, 16);
      std::size_t present = message.size() - length;
      traffic_.b3_bytes_put += declared < present ? declared : present;
      handles_in_flight_.set(capimsg::get_u16(message, req_data_handle));
    }
  } else if ((body[0] == 'G' || body[0] == 'W') && reply.info == 0) {
    ++traffic_.messages_got;
    std::size_t length = capimsg::get_u16(reply.data, 0);
    traffic_.b3_bytes_got += reply.data.size() - length;
    if (is(reply.data, cmd::data_b3, sub::conf) && length >= conf_length_with_handle)
      handles_in_flight_.reset(capimsg::get_u16(reply.data, conf_data_handle));
    if (trace_)
      trace_(direction::from_library, byte_view(reply.data));
  }
}

open_result client::open(const std::string& host, std::uint16_t port,
                         std::uint16_t max_logical_connections) {
  if (appl_id_ != 0)
    throw std::logic_error("application " + std::to_string(appl_id_) +
                           " is registered: the bridge would replace it and never release it; "
                           "close this client and start another");
  // Whether the bridge has the waiting Get is asked while no application is
  // registered: the answer is then 0x1104 at once, or 0x1102 from a bridge
  // without it. Later a waiting Get also answers 0x1102 for a frame of the
  // host's that it drops.
  if (waiting_get_ == support::unknown) {
    const std::uint8_t probe[] = {'W', 0, 0, 0, 0};
    raw_reply asked = request(probe);
    if (asked.status.from == source::transport) {
      open_result out;
      out.status = asked.status;
      return out;
    }
    waiting_get_ = asked.info == info_illegal_command ? support::absent : support::present;
  }
  bytes body;
  body.reserve(5 + host.size());
  body.push_back('O');
  capimsg::append_u16(body, port);
  capimsg::append_u16(body, max_logical_connections);
  body.insert(body.end(), host.begin(), host.end());
  raw_reply r = request(body);
  open_result out;
  out.status = r.status;
  if (r.data.size() == open_result_size) {
    out.appl_id = le32(r.data.data());
    out.stage = static_cast<open_stage>(r.data[4]);
  }
  return out;
}

profile_result client::profile(std::uint32_t controller) {
  bytes body{'P'};
  capimsg::append_u32(body, controller);
  raw_reply r = request(body);
  profile_result out;
  out.status = r.status;
  if (r.data.size() == profile_size) {
    std::array<std::uint8_t, 64> raw{};
    std::copy(r.data.begin(), r.data.end(), raw.begin());
    out.value = decode_profile(raw);
  }
  return out;
}

outcome client::put(byte_view message, byte_view payload) {
  bytes body{'M'};
  body.reserve(1 + message.size() + payload.size());
  body.insert(body.end(), message.begin(), message.end());
  body.insert(body.end(), payload.begin(), payload.end());
  if (appl_id_ != 0 && message.size() >= 4)
    capimsg::put_u16(body, 3, static_cast<std::uint16_t>(appl_id_));
  if (trace_)
    trace_(direction::to_library, byte_view(body).subspan(1));
  return request(body).status;
}

message_result client::get() {
  const std::uint8_t body[] = {'G'};
  return message_from(request(body));
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

message_result client::get(std::chrono::milliseconds wait) {
  // Without an application every Get answers at once, and always will.
  if (appl_id_ == 0)
    return get();
  deadline until = after(wait);
  auto pause = std::chrono::milliseconds(0);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() < 0)
      left = std::chrono::milliseconds(0);
    message_result m = waiting_get_ != support::absent ? wait_once(left) : get();
    if (!m.empty() || std::chrono::steady_clock::now() >= until)
      return m;
    if (waiting_get_ == support::present)
      continue;
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(10))
      pause += std::chrono::milliseconds(1);
  }
}

message_result client::wait_once(std::chrono::milliseconds wait) {
  bytes body{'W'};
  capimsg::append_u32(body, static_cast<std::uint32_t>(std::min<std::chrono::milliseconds::rep>(
                                wait.count(), longest_wait)));
  raw_reply r = request(body);
  // A bridge without the waiting Get answers it as an unknown kind; asked
  // once, the answer stands. open() asks before registering; an Open sent
  // through request() leaves it to the first wait. (A bridge that has it
  // gives 0x1102 otherwise only for a frame of the host's that it drops:
  // taken for an older bridge then, the client merely polls.)
  if (waiting_get_ == support::unknown && r.status.from != source::transport)
    waiting_get_ = r.info == info_illegal_command ? support::absent : support::present;
  if (waiting_get_ == support::absent) {
    message_result none;
    none.status = {source::bridge, info_queue_empty, {}};
    return none;
  }
  return message_from(std::move(r));
}

outcome client::close() {
  const std::uint8_t body[] = {'C'};
  outcome status = request(body).status;
  if (status.from == source::transport)
    return status;
  process_.close_input();
  exit_ = process_.wait(after(options_.request_timeout));
  if (!exit_)
    return fail("Close: the bridge did not end within " +
                std::to_string(options_.request_timeout.count()) + " ms; it was killed");
  gone_ = true;
  gone_reason_ = "closed";
  if (!exit_->exited || exit_->code != 0)
    return {source::transport, 0,
            "Close: the bridge ended " + (exit_->exited
                                              ? "with exit status " + std::to_string(exit_->code)
                                              : "by signal " + std::to_string(exit_->signal))};
  return status;
}

std::optional<exit_status> client::end_input(std::chrono::milliseconds wait) {
  process_.close_input();
  exit_ = process_.wait(after(wait));
  if (exit_) {
    gone_ = true;
    gone_reason_ = "its input was ended";
  }
  return exit_;
}

void client::kill() {
  process_.kill();
  exit_ = process_.wait(after(std::chrono::milliseconds(0)));
  gone_ = true;
  gone_reason_ = "killed";
}

} // namespace capi_bridge
