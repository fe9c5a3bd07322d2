// SPDX-License-Identifier: MIT
// The exchange's call logic. A call is made of legs, one per application end.
// B3 data goes from one leg's DATA_B3_REQ into the receiving leg's inbound
// queue and out as DATA_B3_IND, in pieces of the receiver's block size,
// while the receiver's window has room; the sender's DATA_B3_CONF goes out
// with the block's last piece, so a sender that keeps to its own window of
// unconfirmed blocks can never overrun the queue.
#include "exchange.hpp"

#include <algorithm>

using namespace capimsg;

namespace {

constexpr std::uint16_t highest_appl_id = 1023; // the library's table has 1024 slots, 0 unused
constexpr std::uint16_t highest_cip = 28;
constexpr std::uint16_t b_protocol_combination_not_supported = 0x3007;
constexpr std::size_t largest_frame = 4096; // the library reads frames into 4096 bytes

// The message being handled and where it came from.
struct message_in {
  exchange& ex;
  int connection;
  application& app;
  header h;
  byte_view frame;
};

void note(exchange& ex, std::string text) {
  ex.notes.push_back(std::move(text));
}

// Messages to a connection without an application (released, gone) are dropped.
void send_to(exchange& ex, int connection, std::uint16_t number, bytes message) {
  auto it = ex.applications.find(connection);
  if (it == ex.applications.end()) {
    return;
  }
  put_u16(message, 2, it->second.appl_id);
  put_u16(message, 6, number);
  ex.out.push_back({connection, std::move(message)});
}

void indicate(exchange& ex, int connection, bytes message) {
  auto it = ex.applications.find(connection);
  if (it != ex.applications.end()) {
    send_to(ex, connection, ++it->second.next_number, std::move(message));
  }
}

// The CONF for the request being handled, in the layout of its command.
void reply_conf(message_in& in, std::uint32_t address, std::uint16_t info) {
  bytes m;
  if (in.h.command == command::data_b3) {
    auto p = read_data_b3(in.frame);
    m = build_data_b3_conf(0, 0, {address, p ? p->fields.handle : std::uint16_t{0}, info});
  } else if (in.h.command == command::facility) {
    auto p = read_facility(in.frame);
    m = build_facility_conf(0, 0, {address, info, p ? p->selector : std::uint16_t{0}, {}});
  } else {
    m = build_conf(0, 0, in.h.command, {address, info});
  }
  send_to(in.ex, in.connection, in.h.message_number, std::move(m));
}

int find_leg(const exchange& ex, int connection, std::uint32_t plci) {
  for (const auto& [id, l] : ex.legs) {
    if (l.connection == connection && l.plci == plci) {
      return id;
    }
  }
  return -1;
}

int find_leg_by_ncci(const exchange& ex, int connection, std::uint32_t ncci) {
  for (const auto& [id, l] : ex.legs) {
    if (l.connection == connection && l.ncci != 0 && l.ncci == ncci) {
      return id;
    }
  }
  return -1;
}

// The leg at the other end of an answered call; the leg itself on an echo
// call; -1 if there is none.
int peer_of(const exchange& ex, int id) {
  const leg& l = ex.legs.at(id);
  if (l.call < 0) {
    return -1;
  }
  const call& c = ex.calls.at(l.call);
  if (c.echo) {
    return id;
  }
  if (c.caller == id) {
    return c.answerer;
  }
  return c.answerer == id ? c.caller : -1;
}

// PLCIs are unique per controller across all applications; the legs of
// one offered call share theirs, as every listener sees the same call.
std::uint32_t allocate_plci(const exchange& ex, std::uint32_t controller) {
  for (std::uint32_t n = 1; n <= 0xff; ++n) {
    const std::uint32_t plci = controller | (n << 8);
    if (std::none_of(ex.legs.begin(), ex.legs.end(),
                     [&](const auto& entry) { return entry.second.plci == plci; })) {
      return plci;
    }
  }
  return 0;
}

int new_leg(exchange& ex, int connection, std::uint32_t plci, int call_id, leg_state state) {
  const int id = ex.next_id++;
  leg& l = ex.legs[id];
  l.connection = connection;
  l.plci = plci;
  l.call = call_id;
  l.state = state;
  return id;
}

void assign_ncci(leg& l) {
  l.ncci_count = l.ncci_count == 0xffff ? 1 : static_cast<std::uint16_t>(l.ncci_count + 1);
  l.ncci = l.plci | (static_cast<std::uint32_t>(l.ncci_count) << 16);
}

// Takes the leg out of its call; the call goes with its last leg.
void detach(exchange& ex, int id) {
  leg& l = ex.legs.at(id);
  if (l.call < 0) {
    return;
  }
  call& c = ex.calls.at(l.call);
  if (c.caller == id) {
    c.caller = -1;
  }
  if (c.answerer == id) {
    c.answerer = -1;
  }
  std::erase(c.offered, id);
  if (c.caller < 0 && c.answerer < 0 && c.offered.empty()) {
    ex.calls.erase(l.call);
  }
  l.call = -1;
}

bool b3_open(const leg& l) {
  return l.b3 == b3_state::outgoing || l.b3 == b3_state::incoming || l.b3 == b3_state::active;
}

// Ends the B3 connections of a call's legs (a and b may be equal or -1).
// Data not yet indicated is confirmed to its senders as not delivered before
// any DISCONNECT_B3_IND goes out, so no DATA_B3_CONF trails it.
void end_b3(exchange& ex, int a, int b) {
  std::vector<int> ids;
  for (int id : {a, b}) {
    if (id >= 0 && std::find(ids.begin(), ids.end(), id) == ids.end() && b3_open(ex.legs.at(id))) {
      ids.push_back(id);
    }
  }
  for (int id : ids) {
    leg& l = ex.legs.at(id);
    for (data_block& block : l.inbound) {
      send_to(ex, block.origin_connection, block.origin_number,
              build_data_b3_conf(
                  0, 0, {block.origin_ncci, block.origin_handle, info::not_in_current_state}));
    }
    l.inbound.clear();
    l.in_flight.clear(); // the library drops held blocks with DISCONNECT_B3_RESP
  }
  for (int id : ids) {
    leg& l = ex.legs.at(id);
    indicate(ex, l.connection, build_disconnect_b3_ind(0, 0, {l.ncci, 0, {}}));
    l.b3 = b3_state::clearing;
  }
}

// DISCONNECT_IND for the leg; it waits for DISCONNECT_RESP outside any call.
void clear_leg(exchange& ex, int id, std::uint16_t reason) {
  detach(ex, id);
  leg& l = ex.legs.at(id);
  l.state = leg_state::clearing;
  indicate(ex, l.connection, build_disconnect_ind(0, 0, {l.plci, reason}));
}

// An offered leg drops out: it gets own_reason; if it was the last one
// offered, the caller gets the reason of the last rejection (or, if every
// listener ignored the call, "no user responding").
void leave_offer(exchange& ex, int id, std::uint16_t own_reason, std::uint16_t caller_reason) {
  const int call_id = ex.legs.at(id).call;
  if (caller_reason != 0) {
    ex.calls.at(call_id).reject_reason = caller_reason;
  }
  clear_leg(ex, id, own_reason);
  auto it = ex.calls.find(call_id);
  if (it == ex.calls.end()) {
    return;
  }
  call& c = it->second;
  if (c.offered.empty() && c.answerer < 0 && c.caller >= 0) {
    clear_leg(ex, c.caller, c.reject_reason != 0 ? c.reject_reason : info::no_user_responding);
  }
}

// The leg hangs up (or its application went): B3 first, then the call.
void hang_up(exchange& ex, int id, std::uint16_t peer_reason) {
  leg& l = ex.legs.at(id);
  if (l.state == leg_state::clearing) {
    return;
  }
  if (l.state == leg_state::offered) {
    leave_offer(ex, id, 0, peer_reason);
    return;
  }
  const int peer = peer_of(ex, id);
  end_b3(ex, id, peer);
  std::vector<int> others = ex.calls.at(l.call).offered;
  if (peer >= 0 && peer != id) {
    others.push_back(peer);
  }
  clear_leg(ex, id, 0);
  for (int other : others) {
    clear_leg(ex, other, peer_reason);
  }
}

// The caller's DISCONNECT_IND reason for a listener's Reject value.
std::uint16_t reason_for_reject(std::uint16_t reject) {
  switch (reject) {
  case 1:
    return 0; // ignore the call: no reason of its own
  case 2:
    return info::normal_call_clearing;
  case 3:
    return info::user_busy;
  case 4:
    return info::network_cause_base | 44; // requested channel not available
  case 5:
    return info::network_cause_base | 29; // facility rejected
  case 6:
    return info::network_cause_base | 6; // channel unacceptable
  case 7:
    return info::network_cause_base | 88; // incompatible destination
  case 8:
    return info::network_cause_base | 27; // destination out of order
  default:
    if ((reject & 0xff00) == 0x3400) { // a cause chosen by the application
      return static_cast<std::uint16_t>(info::network_cause_base | (reject & 0x7f));
    }
    return info::call_rejected;
  }
}

// Only what the profile advertises: B1 HDLC or transparent, B2 X.75 or
// transparent (paired accordingly), B3 transparent.
std::uint16_t check_b_protocol(const std::optional<b_protocol>& b) {
  if (!b) {
    return info::no_error;
  }
  if (b->b1 > 1) {
    return info::b1_not_supported;
  }
  if (b->b2 > 1) {
    return info::b2_not_supported;
  }
  if (b->b3 != 0) {
    return info::b3_not_supported;
  }
  if ((b->b1 == 1) != (b->b2 == 1)) {
    return b_protocol_combination_not_supported;
  }
  return info::no_error;
}

bool listens_for(const application& app, std::uint32_t controller, std::uint16_t cip) {
  if (controller >= app.cip_masks.size()) {
    return false;
  }
  const std::uint32_t mask = app.cip_masks[controller];
  return (mask & 1) != 0 || (cip < 32 && ((mask >> cip) & 1) != 0);
}

bool valid_controller(const exchange& ex, std::uint32_t address) {
  const std::uint32_t controller = address & 0x7f;
  return controller >= 1 && controller <= ex.settings.controllers;
}

// Rings every other application listening for the call; nobody: unallocated number.
void offer(exchange& ex, int call_id) {
  call& c = ex.calls.at(call_id);
  const int caller_connection = ex.legs.at(c.caller).connection;
  std::uint32_t plci = 0;
  for (const auto& [connection, app] : ex.applications) {
    if (connection == caller_connection || !listens_for(app, c.controller, c.cip)) {
      continue;
    }
    if (plci == 0) {
      plci = allocate_plci(ex, c.controller);
      if (plci == 0) {
        break;
      }
    }
    c.offered.push_back(new_leg(ex, connection, plci, call_id, leg_state::offered));
    indicate(ex, connection, build_connect_ind(0, 0, {plci, c.cip, c.called, c.calling}));
  }
  if (c.offered.empty()) {
    clear_leg(ex, c.caller, info::unallocated_number);
  }
}

void listen_req(message_in& in) {
  auto p = read_listen_req(in.frame);
  if (!p) {
    reply_conf(in, 0, info::illegal_parameter_coding);
    return;
  }
  if (!valid_controller(in.ex, p->controller)) {
    reply_conf(in, p->controller, info::illegal_address);
    return;
  }
  in.app.cip_masks[p->controller & 0x7f] = p->cip_mask;
  reply_conf(in, p->controller, info::no_error);
}

void connect_req(message_in& in) {
  auto p = read_connect_req(in.frame);
  if (!p) {
    reply_conf(in, 0, info::illegal_parameter_coding);
    return;
  }
  const std::uint32_t controller = p->controller & 0x7f;
  std::uint16_t error = check_b_protocol(p->b);
  if (!valid_controller(in.ex, p->controller)) {
    error = info::illegal_address;
  } else if (p->cip > highest_cip) {
    error = info::cip_unknown;
  }
  const std::uint32_t plci = error != 0 ? 0 : allocate_plci(in.ex, controller);
  if (error == 0 && plci == 0) {
    error = info::out_of_plci;
  }
  if (error != 0) {
    reply_conf(in, p->controller, error);
    return;
  }
  const int call_id = in.ex.next_id++;
  call& c = in.ex.calls[call_id];
  c.controller = controller;
  c.cip = p->cip;
  c.called = p->called;
  c.calling = p->calling;
  if (c.calling.digits.empty()) {
    c.calling.digits = std::to_string(in.app.appl_id); // every application is an extension
  }
  c.echo = p->called.digits == in.ex.settings.echo_number;
  c.caller = new_leg(in.ex, in.connection, plci, call_id, leg_state::calling);
  reply_conf(in, plci, info::no_error);
  if (c.echo) {
    in.ex.legs.at(c.caller).state = leg_state::active;
    indicate(in.ex, in.connection, build_connect_active_ind(0, 0, {plci, c.called}));
    return;
  }
  offer(in.ex, call_id);
}

void connect_resp(message_in& in) {
  auto p = read_connect_resp(in.frame);
  const int id = p ? find_leg(in.ex, in.connection, p->plci) : -1;
  if (id < 0 || in.ex.legs.at(id).state != leg_state::offered) {
    note(in.ex, "CONNECT_RESP answers no offered call, ignored");
    return;
  }
  if (p->reject != 0) {
    leave_offer(in.ex, id, 0, reason_for_reject(p->reject));
    return;
  }
  if (std::uint16_t error = check_b_protocol(p->b)) {
    leave_offer(in.ex, id, error, info::network_cause_base | 88); // incompatible destination
    return;
  }
  leg& l = in.ex.legs.at(id);
  call& c = in.ex.calls.at(l.call);
  std::vector<int> others = c.offered;
  std::erase(others, id);
  c.offered.clear();
  c.answerer = id;
  for (int other : others) {
    clear_leg(in.ex, other, info::another_application_got_call);
  }
  l.state = leg_state::active;
  leg& caller = in.ex.legs.at(c.caller);
  caller.state = leg_state::active;
  const party_number& connected = p->connected.digits.empty() ? c.called : p->connected;
  indicate(in.ex, caller.connection, build_connect_active_ind(0, 0, {caller.plci, connected}));
  indicate(in.ex, l.connection, build_connect_active_ind(0, 0, {l.plci, c.calling}));
}

void alert_req(message_in& in) {
  auto address = read_address(in.frame);
  const int id = address ? find_leg(in.ex, in.connection, *address) : -1;
  if (id < 0) {
    reply_conf(in, address.value_or(0), info::illegal_address);
  } else if (in.ex.legs.at(id).state != leg_state::offered) {
    reply_conf(in, *address, info::not_in_current_state);
  } else {
    call& c = in.ex.calls.at(in.ex.legs.at(id).call);
    reply_conf(in, *address, c.alerted ? info::alert_already_sent : info::no_error);
    c.alerted = true;
  }
}

void disconnect_req(message_in& in) {
  auto address = read_address(in.frame);
  const int id = address ? find_leg(in.ex, in.connection, *address) : -1;
  if (id < 0) {
    reply_conf(in, address.value_or(0), info::illegal_address);
    return;
  }
  if (in.ex.legs.at(id).state == leg_state::clearing) {
    reply_conf(in, *address, info::not_in_current_state);
    return;
  }
  reply_conf(in, *address, info::no_error);
  hang_up(in.ex, id, info::normal_call_clearing);
}

void disconnect_resp(message_in& in) {
  auto address = read_address(in.frame);
  const int id = address ? find_leg(in.ex, in.connection, *address) : -1;
  if (id < 0 || in.ex.legs.at(id).state != leg_state::clearing) {
    note(in.ex, "DISCONNECT_RESP answers no DISCONNECT_IND, ignored");
    return;
  }
  in.ex.legs.erase(id);
}

void select_b_protocol_req(message_in& in) {
  auto p = read_select_b_protocol_req(in.frame);
  if (!p) {
    reply_conf(in, read_address(in.frame).value_or(0), info::illegal_parameter_coding);
    return;
  }
  const int id = find_leg(in.ex, in.connection, p->plci);
  if (id < 0) {
    reply_conf(in, p->plci, info::illegal_address);
  } else if (in.ex.legs.at(id).state != leg_state::active ||
             in.ex.legs.at(id).b3 != b3_state::none) {
    reply_conf(in, p->plci, info::not_in_current_state);
  } else {
    reply_conf(in, p->plci, check_b_protocol(p->b));
  }
}

void connect_b3_req(message_in& in) {
  auto address = read_address(in.frame);
  const int id = address ? find_leg(in.ex, in.connection, *address) : -1;
  if (id < 0) {
    reply_conf(in, address.value_or(0), info::illegal_address);
    return;
  }
  const int peer = peer_of(in.ex, id);
  leg& l = in.ex.legs.at(id);
  if (l.state != leg_state::active || l.b3 != b3_state::none || peer < 0 ||
      in.ex.legs.at(peer).b3 != b3_state::none) {
    reply_conf(in, *address, info::not_in_current_state);
    return;
  }
  assign_ncci(l);
  reply_conf(in, l.ncci, info::no_error);
  if (peer == id) {
    l.b3 = b3_state::active;
    indicate(in.ex, l.connection,
             build_b3_ncpi(0, 0, command::connect_b3_active, subcommand::ind, {l.ncci, {}}));
    return;
  }
  leg& r = in.ex.legs.at(peer);
  assign_ncci(r);
  l.b3 = b3_state::outgoing;
  r.b3 = b3_state::incoming;
  indicate(in.ex, r.connection,
           build_b3_ncpi(0, 0, command::connect_b3, subcommand::ind, {r.ncci, {}}));
}

void connect_b3_resp(message_in& in) {
  auto p = read_connect_b3_resp(in.frame);
  const int id = p ? find_leg_by_ncci(in.ex, in.connection, p->ncci) : -1;
  if (id < 0 || in.ex.legs.at(id).b3 != b3_state::incoming) {
    note(in.ex, "CONNECT_B3_RESP answers no CONNECT_B3_IND, ignored");
    return;
  }
  const int peer = peer_of(in.ex, id);
  if (p->reject != 0 || peer < 0) {
    end_b3(in.ex, id, peer);
    return;
  }
  for (int end : {peer, id}) {
    leg& l = in.ex.legs.at(end);
    l.b3 = b3_state::active;
    indicate(in.ex, l.connection,
             build_b3_ncpi(0, 0, command::connect_b3_active, subcommand::ind, {l.ncci, {}}));
  }
}

void disconnect_b3_req(message_in& in) {
  auto address = read_address(in.frame);
  const int id = address ? find_leg_by_ncci(in.ex, in.connection, *address) : -1;
  if (id < 0) {
    reply_conf(in, address.value_or(0), info::illegal_address);
    return;
  }
  if (!b3_open(in.ex.legs.at(id))) {
    reply_conf(in, *address, info::not_in_current_state);
    return;
  }
  reply_conf(in, *address, info::no_error);
  end_b3(in.ex, id, peer_of(in.ex, id));
}

void disconnect_b3_resp(message_in& in) {
  auto address = read_address(in.frame);
  const int id = address ? find_leg_by_ncci(in.ex, in.connection, *address) : -1;
  if (id < 0 || in.ex.legs.at(id).b3 != b3_state::clearing) {
    note(in.ex, "DISCONNECT_B3_RESP answers no DISCONNECT_B3_IND, ignored");
    return;
  }
  leg& l = in.ex.legs.at(id);
  l.b3 = b3_state::none;
  l.ncci = 0;
}

std::uint16_t free_handle(leg& l) {
  do {
    ++l.next_handle;
  } while (std::find(l.in_flight.begin(), l.in_flight.end(), l.next_handle) != l.in_flight.end());
  return l.next_handle;
}

// Indicates queued data while the receiving application's window has room,
// as a byte stream in pieces of the receiver's block size (a transparent B
// channel keeps no block boundaries); a block is confirmed to its sender
// once its last byte has gone out.
void pump(exchange& ex, int id) {
  leg& l = ex.legs.at(id);
  auto app = ex.applications.find(l.connection);
  if (app == ex.applications.end()) {
    return;
  }
  const std::size_t window =
      std::clamp<std::size_t>(app->second.limits.max_b_data_blocks, 1, data_window);
  // What the receiving library can take: DataLength within its MaxBDataLen,
  // and the frame within the 4096 bytes it reads frames into.
  const std::size_t piece = std::clamp<std::size_t>(app->second.limits.max_b_data_len, 1,
                                                    largest_frame - data_b3_short_length);
  while (!l.inbound.empty() && l.in_flight.size() < window) {
    data_block& block = l.inbound.front();
    const std::size_t size = std::min(piece, block.data.size() - block.indicated);
    const auto from = block.data.begin() + static_cast<std::ptrdiff_t>(block.indicated);
    block.indicated += size;
    const std::uint16_t handle = free_handle(l);
    l.in_flight.push_back(handle);
    indicate(ex, l.connection,
             build_data_b3(0, 0, subcommand::ind,
                           {l.ncci, handle, 0, std::nullopt,
                            capimsg::bytes(from, from + static_cast<std::ptrdiff_t>(size))}));
    if (block.indicated == block.data.size()) {
      send_to(ex, block.origin_connection, block.origin_number,
              build_data_b3_conf(0, 0, {block.origin_ncci, block.origin_handle, block.conf_info}));
      l.inbound.pop_front();
    }
  }
}

void data_b3_req(message_in& in) {
  auto p = read_data_b3(in.frame);
  if (!p) {
    reply_conf(in, read_address(in.frame).value_or(0), info::illegal_parameter_coding);
    return;
  }
  const std::uint32_t ncci = p->fields.ncci;
  const int id = find_leg_by_ncci(in.ex, in.connection, ncci);
  if (id < 0) {
    reply_conf(in, ncci, info::illegal_address);
    return;
  }
  const int target = peer_of(in.ex, id);
  if (in.ex.legs.at(id).b3 != b3_state::active || target < 0) {
    reply_conf(in, ncci, info::not_in_current_state);
    return;
  }
  // The data must be exactly what follows the message: anything else is a
  // block the library could not carry whole.
  if (in.frame.size() != std::size_t{in.h.length} + p->data_length) {
    reply_conf(in, ncci, info::illegal_parameter_coding);
    return;
  }
  leg& t = in.ex.legs.at(target);
  // Above what the sender registered; the receiver's size only cuts the
  // stream into smaller pieces.
  if (p->data_length > in.app.limits.max_b_data_len) {
    reply_conf(in, ncci, info::data_length_not_supported);
    return;
  }
  if (t.inbound.size() >= data_window) {
    reply_conf(in, ncci, info::queue_busy);
    return;
  }
  // Transparent B3 has no use for flags; CAPI says so in the confirmation.
  const std::uint16_t conf_info = p->fields.flags != 0 ? info::flags_ignored : info::no_error;
  t.inbound.push_back({in.connection, in.h.message_number, ncci, p->fields.handle, conf_info,
                       std::move(p->fields.data)});
  pump(in.ex, target);
}

void data_b3_resp(message_in& in) {
  auto p = read_data_b3_resp(in.frame);
  const int id = p ? find_leg_by_ncci(in.ex, in.connection, p->ncci) : -1;
  if (id < 0) {
    note(in.ex, "DATA_B3_RESP for no B3 connection, ignored");
    return;
  }
  leg& l = in.ex.legs.at(id);
  auto it = std::find(l.in_flight.begin(), l.in_flight.end(), p->handle);
  if (it == l.in_flight.end()) {
    note(in.ex, "DATA_B3_RESP answers no DATA_B3_IND, ignored");
    return;
  }
  l.in_flight.erase(it);
  pump(in.ex, id);
}

// INFO_REQ and FACILITY_REQ reach a valid address but do nothing here.
void unsupported_req(message_in& in, std::uint16_t info_if_valid) {
  auto address = read_address(in.frame);
  if (!address) {
    reply_conf(in, 0, info::illegal_parameter_coding);
    return;
  }
  const bool valid = *address <= 0x7f ? valid_controller(in.ex, *address)
                                      : find_leg(in.ex, in.connection, *address & 0xffff) >= 0;
  reply_conf(in, *address, valid ? info_if_valid : info::illegal_address);
}

void reset_b3_req(message_in& in) {
  auto address = read_address(in.frame);
  const bool valid = address && find_leg_by_ncci(in.ex, in.connection, *address) >= 0;
  reply_conf(in, address.value_or(0), valid ? info::reset_not_supported : info::illegal_address);
}

void handle_req(message_in& in) {
  switch (in.h.command) {
  case command::listen:
    listen_req(in);
    break;
  case command::connect:
    connect_req(in);
    break;
  case command::alert:
    alert_req(in);
    break;
  case command::disconnect:
    disconnect_req(in);
    break;
  case command::select_b_protocol:
    select_b_protocol_req(in);
    break;
  case command::connect_b3:
    connect_b3_req(in);
    break;
  case command::disconnect_b3:
    disconnect_b3_req(in);
    break;
  case command::data_b3:
    data_b3_req(in);
    break;
  case command::reset_b3:
    reset_b3_req(in);
    break;
  case command::info:
    unsupported_req(in, info::not_in_current_state);
    break;
  case command::facility:
    unsupported_req(in, info::facility_not_supported);
    break;
  default:
    reply_conf(in, read_address(in.frame).value_or(0), info::illegal_command);
    break;
  }
}

void handle_resp(message_in& in) {
  switch (in.h.command) {
  case command::connect:
    connect_resp(in);
    break;
  case command::disconnect:
    disconnect_resp(in);
    break;
  case command::connect_b3:
    connect_b3_resp(in);
    break;
  case command::disconnect_b3:
    disconnect_b3_resp(in);
    break;
  case command::data_b3:
    data_b3_resp(in);
    break;
  default:
    break; // CONNECT_ACTIVE_RESP and the like only acknowledge
  }
}

} // namespace

std::uint16_t register_application(exchange& ex, int connection, const registration& limits,
                                   std::uint16_t& appl_id) {
  if (ex.applications.count(connection) != 0) {
    return info::register_busy;
  }
  if (limits.max_b_data_len < 128) {
    return info::logical_block_too_small;
  }
  for (std::uint16_t id = ex.settings.first_appl_id; id <= highest_appl_id; ++id) {
    const bool taken = std::any_of(ex.applications.begin(), ex.applications.end(),
                                   [&](const auto& entry) { return entry.second.appl_id == id; });
    if (!taken) {
      application& app = ex.applications[connection];
      app.appl_id = id;
      app.limits = limits;
      app.cip_masks.assign(ex.settings.controllers + 1, 0);
      appl_id = id;
      return info::no_error;
    }
  }
  return info::too_many_applications;
}

void handle_message(exchange& ex, int connection, byte_view frame) {
  std::optional<header> h = read_header(frame);
  auto app = ex.applications.find(connection);
  if (!h || app == ex.applications.end()) {
    note(ex, !h ? "unreadable message, ignored"
                : "message on a connection without application, ignored");
    return;
  }
  message_in in{ex, connection, app->second, *h, frame};
  if (h->subcommand == subcommand::req) {
    if (h->length < header_length + 4) {
      reply_conf(in, 0, info::illegal_command);
    } else {
      handle_req(in);
    }
  } else if (h->subcommand == subcommand::resp) {
    handle_resp(in);
  } else {
    note(ex, "only requests and responses go to the host, ignored");
  }
}

void application_gone(exchange& ex, int connection) {
  if (ex.applications.erase(connection) == 0) {
    return;
  }
  std::vector<int> ids;
  for (const auto& [id, l] : ex.legs) {
    if (l.connection == connection) {
      ids.push_back(id);
    }
  }
  for (int id : ids) {
    if (ex.legs.count(id) == 0) {
      continue;
    }
    if (ex.legs.at(id).state == leg_state::offered) {
      leave_offer(ex, id, 0, 0); // as if the listener ignored the call
    } else {
      hang_up(ex, id, info::normal_call_clearing);
    }
  }
  for (int id : ids) {
    ex.legs.erase(id);
  }
}
