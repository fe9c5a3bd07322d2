// SPDX-License-Identifier: MIT
// What an application has open at its host, followed from its messages as
// they pass both ways, and the messages that end it all as a lost line ends
// it when the host is lost: confirmations for the requests still
// unconfirmed, DISCONNECT_B3_IND for each NCCI up, DISCONNECT_IND for each
// PLCI. Also the LISTEN_REQ to repeat at a new host. No locking of its own:
// the caller guards each call_book (capi20_interface.cpp: the application's
// mutex) and calls nothing here for the same book from two threads at once.
#pragma once

#include "capi_bridge/client.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <vector>

namespace capi_interface {

// The reason a lost host's calls end with: layer 1 error, the line is gone.
constexpr std::uint16_t reason_line_lost = 0x3301;
// The info of the confirmations made up for requests the lost host never
// confirmed: message not supported in the current state (there is no line).
constexpr std::uint16_t info_request_lost = 0x2001;

struct call_book {
  std::set<std::uint32_t> plcis; // up or being set up
  std::set<std::uint32_t> nccis;
  // Requests on their way to the host or handed to it, not yet confirmed:
  // (command, message number) -> the request.
  struct request {
    capi_bridge::bytes message;
    bool accepted = false; // the bridge took it
    unsigned losses = 0;   // how many hosts had been lost when it was put
  };
  std::map<std::pair<std::uint8_t, std::uint16_t>, request> unconfirmed;
  unsigned losses = 0;
  // The last LISTEN_REQ the host accepted, per controller.
  std::map<std::uint8_t, capi_bridge::bytes> listens;
  // Per controller, LISTEN_CONF still to come for repeated LISTEN_REQ; they
  // are the layer's, not the program's.
  std::map<std::uint8_t, unsigned> repeated;
  // PLCIs of calls this layer ended: the program's responses for them (and
  // their NCCIs) go nowhere.
  std::set<std::uint32_t> ended_plcis;
};

// A message the program puts, about to go to the host (`message` its own
// length). A request is kept until its confirmation comes.
void note_put(call_book& book, const capi_bridge::bytes& message);
// The same message was refused on its way: no confirmation will come.
void forget_put(call_book& book, const capi_bridge::bytes& message);
// The bridge took it. The confirmation to hand out now (as end_everything
// makes them) when the host was lost while the request was on its way.
std::optional<capi_bridge::bytes> accepted_put(call_book& book, const capi_bridge::bytes& message);
// A message from the host, before the program sees it; false for one that
// is this layer's own (the LISTEN_CONF of a repeated LISTEN_REQ).
bool note_incoming(call_book& book, capi_bridge::byte_view message);
// Whether the program's response answers a call this layer ended.
bool answers_ended_call(call_book& book, capi_bridge::byte_view response);
// Ends everything the book holds, as the program is to see it (ApplID 0,
// message number 0 for indications): the made-up confirmations first (info
// info_request_lost; none for MANUFACTURER_REQ, whose confirmation has no
// common form) for the requests the bridge took (those still on their way
// get theirs from accepted_put), then DISCONNECT_B3_IND, then
// DISCONNECT_IND, both with reason_line_lost. Leaves the listens and notes
// the PLCIs as ended.
std::vector<capi_bridge::bytes> end_everything(call_book& book);
// The LISTEN_REQ to repeat at a new host, noting their LISTEN_CONF as the
// layer's.
std::vector<capi_bridge::bytes> listens_to_repeat(call_book& book);

} // namespace capi_interface
