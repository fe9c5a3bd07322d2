// SPDX-License-Identifier: MIT
// Call steps over a bridge, built on client and capimsg.
#include "capi_bridge/calls.hpp"

#include <algorithm>

namespace capi_bridge {

namespace {

namespace cmd = capimsg::command;
namespace sub = capimsg::subcommand;

std::uint16_t number_of(const bytes& message) {
  return capimsg::get_u16(message, 6);
}

std::string who(const client& c) {
  return "appl " + std::to_string(c.appl_id());
}

// A CONF that must carry info 0; its address.
std::uint32_t confirmed(client& c, std::uint8_t command) {
  message_result m = expect(c, command, sub::conf);
  auto conf = capimsg::read_conf(m.message);
  if (!conf)
    throw call_error(who(c) + ": unreadable " + capimsg::describe(m.message));
  if (conf->info != 0)
    throw call_error(who(c) + ": " + capimsg::describe(m.message) + ": " + info_text(conf->info));
  return conf->address;
}

// The next message must be the indication `command` for `address` (a PLCI
// or an NCCI); it is answered with a response carrying nothing else.
bytes answered_indication(client& c, std::uint8_t command, std::uint32_t address) {
  message_result m = expect(c, command, sub::ind);
  if (capimsg::read_address(m.message) != address)
    throw call_error(who(c) + ": " + capimsg::describe(m.message) + " is not for " +
                     std::to_string(address));
  put_ok(c, capimsg::build_address_only(0, number_of(m.message), command, sub::resp, address));
  return std::move(m.message);
}

// The next message, or a call_error saying what was awaited instead.
message_result next_message(client& c, std::chrono::milliseconds wait, const std::string& wanted) {
  message_result m = c.get(wait);
  if (m.empty())
    throw call_error(who(c) + ": nothing came within " + std::to_string(wait.count()) +
                     " ms; expected " + wanted);
  if (!m.status.ok())
    throw call_error(who(c) + ": Get: " + m.status.text() + "; expected " + wanted);
  return m;
}

} // namespace

message_result expect(client& c, std::uint8_t command, std::uint8_t subcommand,
                      std::chrono::milliseconds wait) {
  const std::string wanted = capimsg::message_name(command, subcommand);
  message_result m = next_message(c, wait, wanted);
  if (m.message[4] != command || m.message[5] != subcommand)
    throw call_error(who(c) + ": got " + capimsg::describe(m.message) + "; expected " + wanted);
  return m;
}

std::map<std::string, message_result> expect_all(client& c, const std::vector<std::string>& names,
                                                 std::chrono::milliseconds wait) {
  std::map<std::string, message_result> got;
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::string wanted;
    for (const std::string& name : names)
      if (got.count(name) == 0)
        wanted += (wanted.empty() ? "" : " and ") + name;
    message_result m = next_message(c, wait, wanted);
    std::string name = capimsg::message_name(m.message[4], m.message[5]);
    if (std::find(names.begin(), names.end(), name) == names.end() || got.count(name) != 0)
      throw call_error(who(c) + ": got " + capimsg::describe(m.message) + "; expected " + wanted);
    got.emplace(name, std::move(m));
  }
  return got;
}

void put_ok(client& c, byte_view message, byte_view payload) {
  outcome status = c.put(message, payload);
  if (!status.ok())
    throw call_error(who(c) + ": Put " + capimsg::describe(message) + ": " + status.text());
}

void listen(client& c, std::uint32_t controller, std::uint32_t cip_mask) {
  put_ok(c, capimsg::build_listen_req(0, c.next_number(), {controller, 0, cip_mask, 0, {}}));
  confirmed(c, cmd::listen);
}

std::uint32_t dial(client& c, std::uint32_t controller, const std::string& number,
                   std::uint16_t cip) {
  put_ok(c, capimsg::build_connect_req(0, c.next_number(),
                                       {controller, cip, {0, 0, number}, {}, std::nullopt}));
  return confirmed(c, cmd::connect);
}

offer await_call(client& c) {
  message_result m = expect(c, cmd::connect, sub::ind);
  auto ind = capimsg::read_connect_ind(m.message);
  if (!ind)
    throw call_error(who(c) + ": unreadable " + capimsg::describe(m.message));
  return {*ind, number_of(m.message)};
}

void answer(client& c, const offer& call) {
  put_ok(c,
         capimsg::build_connect_resp(0, call.message_number, {call.ind.plci, 0, std::nullopt, {}}));
}

void await_connected(client& c, std::uint32_t plci) {
  answered_indication(c, cmd::connect_active, plci);
}

std::uint32_t connect_b3(client& c, std::uint32_t plci) {
  put_ok(c, capimsg::build_b3_ncpi(0, c.next_number(), cmd::connect_b3, sub::req, {plci, {}}));
  return confirmed(c, cmd::connect_b3);
}

std::uint32_t accept_b3(client& c) {
  message_result m = expect(c, cmd::connect_b3, sub::ind);
  auto ind = capimsg::read_b3_ncpi(m.message);
  if (!ind)
    throw call_error(who(c) + ": unreadable " + capimsg::describe(m.message));
  put_ok(c, capimsg::build_connect_b3_resp(0, number_of(m.message), {ind->address, 0, {}}));
  return ind->address;
}

void await_b3_active(client& c, std::uint32_t ncci) {
  answered_indication(c, cmd::connect_b3_active, ncci);
}

void send_block(client& c, std::uint32_t ncci, std::uint16_t handle, byte_view block) {
  // The block goes as the Put's payload, not copied behind the message
  // first; the message declares its length all the same.
  bytes message =
      capimsg::build_data_b3(0, c.next_number(), sub::req, {ncci, handle, 0, std::uint64_t{0}, {}});
  capimsg::put_u16(message, capi_fields::data_length, static_cast<std::uint16_t>(block.size()));
  put_ok(c, message, block);
}

void block_confirmed(client& c, std::uint32_t ncci, std::uint16_t handle,
                     const message_result* got) {
  message_result next;
  if (got == nullptr) {
    next = expect(c, cmd::data_b3, sub::conf);
    got = &next;
  }
  auto conf = capimsg::read_data_b3_conf(got->message);
  if (!conf || conf->ncci != ncci || conf->handle != handle || conf->info != 0)
    throw call_error(who(c) + ": " + capimsg::describe(got->message) +
                     " is no successful DATA_B3_CONF for handle " + std::to_string(handle));
}

bytes receive_block(client& c, std::uint32_t ncci, const message_result* got) {
  message_result next;
  if (got == nullptr) {
    next = expect(c, cmd::data_b3, sub::ind);
    got = &next;
  }
  auto ind = capimsg::read_data_b3(got->message);
  if (!ind || ind->fields.ncci != ncci || ind->data_length != got->b3_data.size())
    throw call_error(who(c) + ": " + capimsg::describe(got->message) + " with " +
                     std::to_string(got->b3_data.size()) + " data bytes");
  put_ok(c, capimsg::build_data_b3_resp(0, number_of(got->message), {ncci, ind->fields.handle}));
  return got->b3_data;
}

void clear_b3(client& c, std::uint32_t ncci) {
  put_ok(c, capimsg::build_b3_ncpi(0, c.next_number(), cmd::disconnect_b3, sub::req, {ncci, {}}));
  confirmed(c, cmd::disconnect_b3);
}

void hang_up(client& c, std::uint32_t plci) {
  put_ok(c, capimsg::build_disconnect_req(0, c.next_number(), plci));
  confirmed(c, cmd::disconnect);
}

void await_b3_cleared(client& c, std::uint32_t ncci) {
  answered_indication(c, cmd::disconnect_b3, ncci);
}

std::uint16_t await_cleared(client& c, std::uint32_t plci) {
  bytes m = answered_indication(c, cmd::disconnect, plci);
  auto ind = capimsg::read_disconnect_ind(m);
  return ind ? ind->reason : std::uint16_t{0};
}

call place_call(client& caller, client& callee, const std::string& number,
                std::uint32_t controller) {
  call out;
  listen(callee, controller, cip_mask_unrestricted_digital);
  out.caller_plci = dial(caller, controller, number);
  offer offered = await_call(callee);
  out.offered = offered.ind;
  out.callee_plci = offered.ind.plci;
  answer(callee, offered);
  await_connected(caller, out.caller_plci);
  await_connected(callee, out.callee_plci);
  out.caller_ncci = connect_b3(caller, out.caller_plci);
  out.callee_ncci = accept_b3(callee);
  await_b3_active(caller, out.caller_ncci);
  await_b3_active(callee, out.callee_ncci);
  return out;
}

call place_echo_call(client& caller, const std::string& number, std::uint32_t controller) {
  call out;
  out.caller_plci = dial(caller, controller, number);
  await_connected(caller, out.caller_plci);
  out.caller_ncci = connect_b3(caller, out.caller_plci);
  await_b3_active(caller, out.caller_ncci);
  return out;
}

bytes pattern(std::uint32_t seed, std::size_t size) {
  bytes out(size);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return out;
}

} // namespace capi_bridge
