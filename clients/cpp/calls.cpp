// SPDX-License-Identifier: MIT
// Call steps over a bridge, built on client and capimsg.
#include "capi_bridge/calls.hpp"

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

} // namespace

message_result expect(client& c, std::uint8_t command, std::uint8_t subcommand,
                      std::chrono::milliseconds wait) {
  const std::string wanted = capimsg::message_name(command, subcommand);
  message_result m = c.get(wait);
  if (m.empty())
    throw call_error(who(c) + ": nothing came within " + std::to_string(wait.count()) +
                     " ms; expected " + wanted);
  if (!m.status.ok())
    throw call_error(who(c) + ": Get: " + m.status.text() + "; expected " + wanted);
  if (m.message[4] != command || m.message[5] != subcommand)
    throw call_error(who(c) + ": got " + capimsg::describe(m.message) + "; expected " + wanted);
  return m;
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

} // namespace capi_bridge
