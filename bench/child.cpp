// SPDX-License-Identifier: MIT
// Starting children with pipes, reading what the kernel counts for them, and
// driving request flows through them.
#include "child.hpp"

#include "capi_bridge/capi_fields.hpp"
#include "capi_bridge/client.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

using capi_bridge::after;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "capi-bridge-bench: %s\n", what.c_str());
  std::exit(1);
}

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

} // namespace

child start_child(const std::vector<std::string>& argv,
                  const std::vector<std::pair<std::string, std::string>>& set,
                  const std::vector<std::string>& unset) {
  child c;
  if (!c.start({argv, set, {}, unset, false}))
    fail(c.error());
  return c;
}

int finish_child(child& c) {
  c.close_input();
  std::uint8_t sink[4096];
  while (read_some(c, sink, sizeof sink) > 0) {
  }
  auto ended = c.wait(after(child_patience));
  if (!ended)
    fail("a child did not end");
  return ended->exited ? ended->code : 128 + ended->signal;
}

io_calls child_io_calls(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/io");
  io_calls calls;
  std::string name;
  std::uint64_t value = 0;
  while (in >> name >> value) {
    if (name == "syscr:")
      calls.reads = value;
    else if (name == "syscw:")
      calls.writes = value;
  }
  calls.waits = child_status_field(pid, "voluntary_ctxt_switches");
  calls.preemptions = child_status_field(pid, "nonvoluntary_ctxt_switches");
  std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
  schedstat >> calls.cpu_ns;
  return calls;
}

std::uint64_t child_status_field(long pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  std::string wanted = std::string(field) + ":";
  while (std::getline(in, line)) {
    if (line.rfind(wanted, 0) == 0) {
      std::istringstream rest(line.substr(wanted.size()));
      std::uint64_t kib = 0;
      rest >> kib;
      return kib;
    }
  }
  return 0;
}

bytes frame(const bytes& body) {
  bytes out;
  out.reserve(4 + body.size());
  capi_bridge::append_request_frame(out, body);
  return out;
}

bytes open_frame(const std::string& host, std::uint16_t port) {
  return frame(capi_bridge::open_request_body(host, port, 2));
}

bytes get_frame() {
  return frame({'G'});
}

bytes put_frame(const bytes& message, const bytes& payload) {
  return frame(capi_bridge::put_request_body(message, payload));
}

// Application ID and message number 1: the library puts its own ID in.
bytes listen_req() {
  return capimsg::build_listen_req(
      1, 1,
      {.controller = 1, .info_mask = 0x3FF, .cip_mask = 0x1FFF03FF, .cip_mask2 = 0, .calling = {}});
}

bytes data_b3_req(std::uint32_t ncci, std::uint16_t handle, std::uint16_t length) {
  // The Data Length field is the data's; the data goes with the Put.
  bytes m = capimsg::build_data_b3(1, 1, capimsg::subcommand::req,
                                   {.ncci = ncci, .handle = handle, .data = bytes(length)});
  m.resize(capimsg::data_b3_long_length);
  return m;
}

bytes data_b3_resp(std::uint32_t ncci, std::uint16_t handle) {
  return capimsg::build_data_b3_resp(1, 1, {.ncci = ncci, .handle = handle});
}

bool write_all(child& c, const std::uint8_t* data, std::size_t size) {
  capi_bridge::io_result r = c.write(data, size, after(child_patience));
  if (r == capi_bridge::io_result::timed_out)
    fail("a child took no input for a minute");
  return r == capi_bridge::io_result::done;
}

std::size_t read_some(child& c, std::uint8_t* data, std::size_t size) {
  std::size_t got = 0;
  if (c.read_some(data, size, got, after(child_patience)) == capi_bridge::io_result::timed_out)
    fail("a child wrote nothing for a minute");
  return got;
}

namespace {

bool read_exactly(child& c, std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    std::size_t got = read_some(c, data, size);
    if (got == 0)
      return false;
    data += got;
    size -= got;
  }
  return true;
}

} // namespace

std::uint32_t read_reply(child& c, bytes& body) {
  std::uint8_t length_field[4];
  if (!read_exactly(c, length_field, 4))
    fail("the child's output ended before its reply");
  body.resize(capi_fields::get_le32(length_field));
  if (body.size() < 4 || !read_exactly(c, body.data(), body.size()))
    fail("the child's reply is cut short");
  return capi_fields::get_le32(body.data());
}

namespace {

// What each request in flight is, oldest first, in a fixed ring.
enum pending_kind : std::uint8_t {
  pending_repeat,
  pending_b3_req,
  pending_conf_get,
  pending_ind_get,
  pending_resp
};

struct flow_state {
  const flow& f;
  bytes out;
  std::uint8_t pending[4096] = {};
  std::size_t first = 0, count = 0;
  bool stopping = false;
  std::uint64_t limit = 0;       // units, 0 for none
  std::uint64_t issued = 0;      // units started
  std::uint16_t next_handle = 0; // b3_out: the next DATA_B3_REQ's handle
  std::uint16_t next_conf = 0;   // b3_out: the handle the next DATA_B3_CONF must carry
  bytes b3_requests[7];
  bytes get = get_frame();
  flow_result result;

  explicit flow_state(const flow& chosen) : f(chosen) {}

  void push(pending_kind kind, const bytes& request) {
    pending[(first + count++) % sizeof pending] = kind;
    out.insert(out.end(), request.begin(), request.end());
    ++result.requests;
  }
  bool may_start() const { return !stopping && (limit == 0 || issued < limit); }
  void start_unit() {
    ++issued;
    switch (f.kind) {
    case flow_kind::repeat:
      push(pending_repeat, f.request);
      break;
    case flow_kind::b3_out:
      push(pending_b3_req, b3_requests[next_handle]);
      push(pending_conf_get, get);
      next_handle = static_cast<std::uint16_t>((next_handle + 1) % 7);
      break;
    case flow_kind::b3_in:
      push(pending_ind_get, get);
      break;
    }
  }
};

[[noreturn]] void bad_reply(const char* what, std::uint32_t info) {
  char text[160];
  std::snprintf(text, sizeof text, "unexpected reply to %s: info 0x%04x", what, info);
  fail(text);
}

// One whole reply: `r` is info, data and extra, `size` bytes.
void on_reply(flow_state& s, const std::uint8_t* r, std::size_t size) {
  pending_kind kind = static_cast<pending_kind>(s.pending[s.first]);
  s.first = (s.first + 1) % sizeof s.pending;
  --s.count;
  std::uint32_t info = capi_fields::get_le32(r);
  const flow& f = s.f;
  switch (kind) {
  case pending_repeat:
    if (f.check && info != f.expected_info)
      bad_reply("a repeated request", info);
    ++s.result.units;
    if (s.may_start())
      s.start_unit();
    break;
  case pending_b3_req:
  case pending_resp:
    if (f.check && info != 0)
      bad_reply(kind == pending_b3_req ? "DATA_B3_REQ" : "DATA_B3_RESP", info);
    break;
  case pending_conf_get:
    if (f.check && (info != 0 || size < 4 + 14 || r[4 + 4] != 0x86 || r[4 + 5] != 0x81 ||
                    capi_fields::get_le16(r + 4 + 12) != s.next_conf))
      bad_reply("Get for DATA_B3_CONF", info);
    s.next_conf = static_cast<std::uint16_t>((s.next_conf + 1) % 7);
    ++s.result.units;
    s.result.bytes_moved += f.b3_size;
    if (s.may_start())
      s.start_unit();
    break;
  case pending_ind_get:
    if (info == 0 && size >= 4 + 22) {
      const std::uint8_t* m = r + 4;
      std::size_t data = size - 4 - capi_fields::get_le16(m);
      if (f.check && (m[4] != 0x86 || m[5] != 0x82 || data != f.b3_size))
        bad_reply("Get for DATA_B3_IND", info);
      ++s.result.units;
      s.result.bytes_moved += data;
      s.push(pending_resp,
             put_frame(data_b3_resp(capi_fields::get_le32(m + 8), capi_fields::get_le16(m + 18))));
    } else {
      if (f.check && info != 0x1104)
        bad_reply("Get for DATA_B3_IND", info);
      --s.issued;
    }
    if (s.may_start())
      s.start_unit();
    break;
  }
}

std::uint8_t reply_buffer[1 << 18];

} // namespace

flow_result run_flow(child& c, const flow& f, double seconds, std::uint64_t units) {
  flow_state s(f);
  s.limit = units;
  s.out.reserve(1 << 16);
  if (f.kind == flow_kind::b3_out) {
    bytes payload(f.b3_size);
    for (std::size_t i = 0; i < payload.size(); ++i)
      payload[i] = static_cast<std::uint8_t>(i);
    for (std::uint16_t h = 0; h < 7; ++h)
      s.b3_requests[h] = put_frame(data_b3_req(0x10101, h, f.b3_size), payload);
  }
  double start = now_seconds();
  double deadline = seconds > 0 ? start + seconds : 0;
  for (unsigned i = 0; i < f.depth && s.may_start(); ++i)
    s.start_unit();

  std::size_t have = 0;
  while (s.count > 0) {
    if (!s.out.empty()) {
      if (!write_all(c, s.out.data(), s.out.size()))
        fail("the child stopped reading");
      s.out.clear();
    }
    std::size_t got = read_some(c, reply_buffer + have, sizeof reply_buffer - have);
    if (got == 0)
      fail("the child's output ended with requests in flight");
    have += got;
    if (deadline > 0 && now_seconds() >= deadline)
      s.stopping = true;
    std::size_t at = 0;
    while (have - at >= 8) {
      std::size_t size = capi_fields::get_le32(reply_buffer + at);
      if (have - at < 4 + size)
        break;
      on_reply(s, reply_buffer + at + 4, size);
      at += 4 + size;
    }
    std::memmove(reply_buffer, reply_buffer + at, have - at);
    have -= at;
  }
  s.result.seconds = now_seconds() - start;
  return s.result;
}
