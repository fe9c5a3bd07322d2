// SPDX-License-Identifier: MIT
// Human-readable CAPI 2.0: message names, info and reason texts, and the
// one-line description of a message used in verbose logs.
#include "capi_bridge/capimsg.hpp"

#include <cstdio>

namespace capimsg {

namespace {

const char* command_name(std::uint8_t command) {
  switch (command) {
  case command::alert:
    return "ALERT";
  case command::connect:
    return "CONNECT";
  case command::connect_active:
    return "CONNECT_ACTIVE";
  case command::disconnect:
    return "DISCONNECT";
  case command::listen:
    return "LISTEN";
  case command::info:
    return "INFO";
  case command::select_b_protocol:
    return "SELECT_B_PROTOCOL";
  case command::facility:
    return "FACILITY";
  case command::connect_b3:
    return "CONNECT_B3";
  case command::connect_b3_active:
    return "CONNECT_B3_ACTIVE";
  case command::disconnect_b3:
    return "DISCONNECT_B3";
  case command::data_b3:
    return "DATA_B3";
  case command::reset_b3:
    return "RESET_B3";
  case command::connect_b3_t90_active:
    return "CONNECT_B3_T90_ACTIVE";
  case command::manufacturer:
    return "MANUFACTURER";
  default:
    return nullptr;
  }
}

// Q.850 cause values as a network reports them in 0x3480 | cause.
const char* network_cause_text(unsigned cause) {
  switch (cause) {
  case 1:
    return "Network: unallocated (unassigned) number";
  case 2:
    return "Network: no route to specified transit network";
  case 3:
    return "Network: no route to destination";
  case 6:
    return "Network: channel unacceptable";
  case 7:
    return "Network: call awarded and being delivered in an established channel";
  case 16:
    return "Network: normal call clearing";
  case 17:
    return "Network: user busy";
  case 18:
    return "Network: no user responding";
  case 19:
    return "Network: no answer from user (user alerted)";
  case 21:
    return "Network: call rejected";
  case 22:
    return "Network: number changed";
  case 26:
    return "Network: non-selected user clearing";
  case 27:
    return "Network: destination out of order";
  case 28:
    return "Network: invalid number format";
  case 29:
    return "Network: facility rejected";
  case 30:
    return "Network: response to STATUS ENQUIRY";
  case 31:
    return "Network: normal, unspecified";
  case 34:
    return "Network: no circuit/channel available";
  case 38:
    return "Network: network out of order";
  case 41:
    return "Network: temporary failure";
  case 42:
    return "Network: switching equipment congestion";
  case 43:
    return "Network: access information discarded";
  case 44:
    return "Network: requested circuit/channel not available";
  case 47:
    return "Network: resources unavailable, unspecified";
  case 49:
    return "Network: quality of service unavailable";
  case 50:
    return "Network: requested facility not subscribed";
  case 57:
    return "Network: bearer capability not authorized";
  case 58:
    return "Network: bearer capability not presently available";
  case 63:
    return "Network: service or option not available, unspecified";
  case 65:
    return "Network: bearer capability not implemented";
  case 66:
    return "Network: channel type not implemented";
  case 69:
    return "Network: requested facility not implemented";
  case 70:
    return "Network: only restricted digital information bearer capability is available";
  case 79:
    return "Network: service or option not implemented, unspecified";
  case 81:
    return "Network: invalid call reference value";
  case 82:
    return "Network: identified channel does not exist";
  case 83:
    return "Network: a suspended call exists, but this call identity does not";
  case 84:
    return "Network: call identity in use";
  case 85:
    return "Network: no call suspended";
  case 86:
    return "Network: call having the requested call identity has been cleared";
  case 88:
    return "Network: incompatible destination";
  case 91:
    return "Network: invalid transit network selection";
  case 95:
    return "Network: invalid message, unspecified";
  case 96:
    return "Network: mandatory information element is missing";
  case 97:
    return "Network: message type non-existent or not implemented";
  case 98:
    return "Network: message not compatible with call state or message type non-existent";
  case 99:
    return "Network: information element non-existent or not implemented";
  case 100:
    return "Network: invalid information element contents";
  case 101:
    return "Network: message not compatible with call state";
  case 102:
    return "Network: recovery on timer expiry";
  case 111:
    return "Network: protocol error, unspecified";
  case 127:
    return "Network: interworking, unspecified";
  default:
    return "Network: cause value not defined";
  }
}

void add(std::string& s, const char* format, unsigned long value) {
  char piece[64];
  std::snprintf(piece, sizeof piece, format, value);
  s += piece;
}

void add_address(std::string& s, std::uint32_t address) {
  if (address > 0xffff) {
    add(s, " ncci=0x%08lx", address);
  } else if (address > 0xff) {
    add(s, " plci=0x%04lx", address);
  } else {
    add(s, " ctrl=%lu", address);
  }
}

void add_number(std::string& s, const char* name, const party_number& p) {
  s += ' ';
  s += name;
  s += '=';
  for (char c : p.digits) {
    s += (c >= 0x21 && c <= 0x7e) ? c : '?';
  }
}

void add_b_protocol(std::string& s, const std::optional<b_protocol>& b) {
  if (!b) {
    s += " b=default";
    return;
  }
  add(s, " b=%lu", b->b1);
  add(s, "/%lu", b->b2);
  add(s, "/%lu", b->b3);
}

// The parameters worth a look; false if the message cannot be read.
bool add_parameters(std::string& s, const header& h, byte_view m) {
  const unsigned kind = unsigned(h.command << 8) | h.subcommand;
  constexpr auto k = [](std::uint8_t c, std::uint8_t sub) { return unsigned(c << 8) | sub; };
  switch (kind) {
  case k(command::listen, subcommand::req): {
    auto p = read_listen_req(m);
    if (!p)
      return false;
    add_address(s, p->controller);
    add(s, " info_mask=0x%lx", p->info_mask);
    add(s, " cip_mask=0x%lx", p->cip_mask);
    return true;
  }
  case k(command::connect, subcommand::req): {
    auto p = read_connect_req(m);
    if (!p)
      return false;
    add_address(s, p->controller);
    add(s, " cip=%lu", p->cip);
    add_number(s, "called", p->called);
    add_number(s, "calling", p->calling);
    add_b_protocol(s, p->b);
    return true;
  }
  case k(command::connect, subcommand::ind): {
    auto p = read_connect_ind(m);
    if (!p)
      return false;
    add_address(s, p->plci);
    add(s, " cip=%lu", p->cip);
    add_number(s, "called", p->called);
    add_number(s, "calling", p->calling);
    return true;
  }
  case k(command::connect, subcommand::resp): {
    auto p = read_connect_resp(m);
    if (!p)
      return false;
    add_address(s, p->plci);
    add(s, " reject=%lu", p->reject);
    add_b_protocol(s, p->b);
    add_number(s, "connected", p->connected);
    return true;
  }
  case k(command::connect_active, subcommand::ind): {
    auto p = read_connect_active_ind(m);
    if (!p)
      return false;
    add_address(s, p->plci);
    add_number(s, "connected", p->connected);
    return true;
  }
  case k(command::disconnect, subcommand::ind): {
    auto p = read_disconnect_ind(m);
    if (!p)
      return false;
    add_address(s, p->plci);
    add(s, " reason=0x%04lx", p->reason);
    return true;
  }
  case k(command::connect_b3, subcommand::resp): {
    auto p = read_connect_b3_resp(m);
    if (!p)
      return false;
    add_address(s, p->ncci);
    add(s, " reject=%lu", p->reject);
    return true;
  }
  case k(command::disconnect_b3, subcommand::ind): {
    auto p = read_disconnect_b3_ind(m);
    if (!p)
      return false;
    add_address(s, p->ncci);
    add(s, " reason_b3=0x%04lx", p->reason_b3);
    return true;
  }
  case k(command::data_b3, subcommand::req):
  case k(command::data_b3, subcommand::ind): {
    auto p = read_data_b3(m);
    if (!p)
      return false;
    add_address(s, p->fields.ncci);
    add(s, " len=%lu", p->data_length);
    add(s, " handle=%lu", p->fields.handle);
    add(s, " flags=0x%lx", p->fields.flags);
    return true;
  }
  case k(command::data_b3, subcommand::conf): {
    auto p = read_data_b3_conf(m);
    if (!p)
      return false;
    add_address(s, p->ncci);
    add(s, " handle=%lu", p->handle);
    add(s, " info=0x%04lx", p->info);
    return true;
  }
  case k(command::data_b3, subcommand::resp): {
    auto p = read_data_b3_resp(m);
    if (!p)
      return false;
    add_address(s, p->ncci);
    add(s, " handle=%lu", p->handle);
    return true;
  }
  case k(command::facility, subcommand::req):
  case k(command::facility, subcommand::ind):
  case k(command::facility, subcommand::resp): {
    auto p = read_facility(m);
    if (!p)
      return false;
    add_address(s, p->address);
    add(s, " selector=%lu", p->selector);
    return true;
  }
  case k(command::facility, subcommand::conf): {
    auto p = read_facility_conf(m);
    if (!p)
      return false;
    add_address(s, p->address);
    add(s, " info=0x%04lx", p->info);
    add(s, " selector=%lu", p->selector);
    return true;
  }
  case k(command::info, subcommand::ind): {
    auto p = read_info_ind(m);
    if (!p)
      return false;
    add_address(s, p->address);
    add(s, " info_number=0x%04lx", p->info_number);
    return true;
  }
  case k(command::manufacturer, subcommand::req):
  case k(command::manufacturer, subcommand::conf):
  case k(command::manufacturer, subcommand::ind):
  case k(command::manufacturer, subcommand::resp): {
    auto p = read_address(m);
    if (!p)
      return false;
    add_address(s, *p);
    return true;
  }
  default:
    break;
  }
  if (h.subcommand == subcommand::conf) {
    auto p = read_conf(m);
    if (!p)
      return false;
    add_address(s, p->address);
    add(s, " info=0x%04lx", p->info);
    return true;
  }
  auto p = read_address(m);
  if (!p)
    return false;
  add_address(s, *p);
  return true;
}

} // namespace

namespace {

// "0x12/0x34", for pairs CAPI 2.0 does not name.
std::string unnamed(std::uint8_t command, std::uint8_t subcommand) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%02x/0x%02x", command, subcommand);
  return text;
}

} // namespace

std::string message_name(std::uint8_t command, std::uint8_t subcommand) {
  const char* name = command_name(command);
  if (name == nullptr || subcommand < subcommand::req || subcommand > subcommand::resp) {
    return unnamed(command, subcommand);
  }
  // Every command has all four subcommands but these.
  const bool no_ind_resp = command == command::listen || command == command::select_b_protocol ||
                           command == command::alert;
  const bool no_req_conf = command == command::connect_active ||
                           command == command::connect_b3_active ||
                           command == command::connect_b3_t90_active;
  const bool is_req_conf = subcommand == subcommand::req || subcommand == subcommand::conf;
  if ((no_ind_resp && !is_req_conf) || (no_req_conf && is_req_conf)) {
    return unnamed(command, subcommand);
  }
  static const char* const suffixes[] = {"_REQ", "_CONF", "_IND", "_RESP"};
  return std::string(name) + suffixes[subcommand - subcommand::req];
}

const char* info_text(std::uint16_t info) {
  if ((info & 0xff80) == info::network_cause_base) {
    return network_cause_text(info & 0x7f);
  }
  switch (info) {
  case 0x0000:
    return "No error, request accepted";
  case 0x0001:
    return "NCPI not supported by current protocol, NCPI ignored";
  case 0x0002:
    return "Flags not supported by current protocol, flags ignored";
  case 0x0003:
    return "Alert already sent by another application";

  case 0x1001:
    return "Too many applications";
  case 0x1002:
    return "Logical block size too small, must be at least 128 bytes";
  case 0x1003:
    return "Buffer exceeds 64 kbytes";
  case 0x1004:
    return "Message buffer size too small, must be at least 1024 bytes";
  case 0x1005:
    return "Maximum number of logical connections not supported";
  case 0x1006:
    return "Reserved";
  case 0x1007:
    return "Register not accepted: internal busy condition";
  case 0x1008:
    return "Register: operating system resource error";
  case 0x1009:
    return "CAPI not installed";
  case 0x100A:
    return "Controller does not support external equipment";
  case 0x100B:
    return "Controller does only support external equipment";

  case 0x1101:
    return "Illegal application number";
  case 0x1102:
    return "Illegal command or subcommand, or message length less than 12 bytes";
  case 0x1103:
    return "Message not accepted: queue full";
  case 0x1104:
    return "Queue is empty";
  case 0x1105:
    return "Queue overflow: a message was lost";
  case 0x1106:
    return "Unknown notification parameter";
  case 0x1107:
    return "Message not accepted: internal busy condition";
  case 0x1108:
    return "Message exchange: operating system resource error";
  case 0x1109:
    return "CAPI not installed";
  case 0x110A:
    return "Controller does not support external equipment";
  case 0x110B:
    return "Controller does only support external equipment";

  case 0x2001:
    return "Message not supported in current state";
  case 0x2002:
    return "Illegal controller, PLCI or NCCI";
  case 0x2003:
    return "No PLCI available";
  case 0x2004:
    return "No NCCI available";
  case 0x2005:
    return "No listen resources available";
  case 0x2006:
    return "No fax resources available (protocol T.30)";
  case 0x2007:
    return "Illegal message parameter coding";
  case 0x2008:
    return "No interconnection resources available";

  case 0x3001:
    return "B1 protocol not supported";
  case 0x3002:
    return "B2 protocol not supported";
  case 0x3003:
    return "B3 protocol not supported";
  case 0x3004:
    return "B1 protocol parameter not supported";
  case 0x3005:
    return "B2 protocol parameter not supported";
  case 0x3006:
    return "B3 protocol parameter not supported";
  case 0x3007:
    return "B protocol combination not supported";
  case 0x3008:
    return "NCPI not supported";
  case 0x3009:
    return "CIP value unknown";
  case 0x300A:
    return "Flags not supported (reserved bits)";
  case 0x300B:
    return "Facility not supported";
  case 0x300C:
    return "Data length not supported by current protocol";
  case 0x300D:
    return "Reset procedure not supported by current protocol";
  case 0x300E:
    return "Supplementary service not supported (or TEI assignment failed)";
  case 0x300F:
    return "Unsupported interoperability";
  case 0x3010:
    return "Request not allowed in this state";
  case 0x3011:
    return "Facility specific function not supported";

  case 0x3301:
    return "Protocol error layer 1 (broken line or B channel removed)";
  case 0x3302:
    return "Protocol error layer 2";
  case 0x3303:
    return "Protocol error layer 3";
  case 0x3304:
    return "Another application got that call";
  case 0x3305:
    return "Cleared by call control supervision";
  case 0x3311:
    return "T.30: connecting not successful (remote station is no G3 fax)";
  case 0x3312:
    return "T.30: connecting not successful (training error)";
  case 0x3313:
    return "T.30: disconnected before transfer (transfer mode not supported)";
  case 0x3314:
    return "T.30: disconnected during transfer (remote abort)";
  case 0x3315:
    return "T.30: disconnected during transfer (remote procedure error)";
  case 0x3316:
    return "T.30: disconnected during transfer (local tx data underflow)";
  case 0x3317:
    return "T.30: disconnected during transfer (local rx data overflow)";
  case 0x3318:
    return "T.30: disconnected during transfer (local abort)";
  case 0x3319:
    return "T.30: illegal parameter coding";

  case 0x3500:
    return "Modem: normal end of connection";
  case 0x3501:
    return "Modem: carrier lost";
  case 0x3502:
    return "Modem: error in negotiation (no error correction at the other end)";
  case 0x3503:
    return "Modem: no answer to protocol request";
  case 0x3504:
    return "Modem: remote modem only works in synchronous mode";
  case 0x3505:
    return "Modem: framing fails";
  case 0x3506:
    return "Modem: protocol negotiation fails";
  case 0x3507:
    return "Modem: other modem sends wrong protocol request";
  case 0x3508:
    return "Modem: sync information (data or flags) missing";
  case 0x3509:
    return "Modem: normal end of connection from the other modem";
  case 0x350A:
    return "Modem: no answer from other modem";
  case 0x350B:
    return "Modem: protocol error";
  case 0x350C:
    return "Modem: error in compression";
  case 0x350D:
    return "Modem: no connect (timeout or wrong modulation)";
  case 0x350E:
    return "Modem: no protocol fall-back allowed";
  case 0x350F:
    return "Modem: no modem or fax at requested number";
  case 0x3510:
    return "Modem: handshake error";

  case 0x3600:
    return "Supplementary service: rejected, not subscribed";
  case 0x3601:
    return "Supplementary service: rejected, not subscribed";
  case 0x3602:
    return "Supplementary service: rejected, not available";
  case 0x3603:
    return "Supplementary service: rejected, not available";
  case 0x3604:
    return "Supplementary service: rejected, not implemented";
  case 0x3605:
    return "Supplementary service: rejected, not available";
  case 0x3606:
    return "Supplementary service: invalid served user number";
  case 0x3607:
    return "Supplementary service: invalid call state";
  case 0x3608:
    return "Supplementary service: basic service not provided";
  case 0x3609:
    return "Supplementary service: not an incoming call";
  case 0x360A:
    return "Supplementary service: interaction not allowed";
  case 0x360B:
    return "Supplementary service: resource unavailable";
  case 0x3700:
    return "Supplementary service: duplicate invocation";
  case 0x3701:
    return "Supplementary service: unrecognized operation";
  case 0x3702:
    return "Supplementary service: mistyped argument";
  case 0x3703:
    return "Supplementary service: resource limitation";
  case 0x3704:
    return "Supplementary service: initiator releasing";
  case 0x3705:
    return "Supplementary service: unrecognized linked id";
  case 0x3706:
    return "Supplementary service: linked response unexpected";
  case 0x3707:
    return "Supplementary service: unexpected child operation";
  default:
    return "unknown info value";
  }
}

std::string describe(byte_view message) {
  std::optional<header> h = read_header(message);
  if (!h) {
    std::string s = "malformed message";
    add(s, " (%lu bytes)", static_cast<unsigned long>(message.size()));
    return s;
  }
  std::string s = message_name(h->command, h->subcommand);
  add(s, " appl=%lu", h->appl_id);
  add(s, " msg=%lu", h->message_number);
  if (!add_parameters(s, *h, message)) {
    add(s, " (malformed, length %lu)", h->length);
  }
  return s;
}

} // namespace capimsg
