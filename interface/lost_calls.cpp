// SPDX-License-Identifier: MIT
// The calls an application has open, and the messages that end them when
// its host is lost.
#include "lost_calls.hpp"

#include "capi_bridge/capimsg.hpp"

#include <iterator>

namespace capi_interface {

namespace {

namespace cmd = capimsg::command;
namespace sub = capimsg::subcommand;
using capi_bridge::byte_view;
using capi_bridge::bytes;

// The PLCI part of a PLCI or NCCI.
std::uint32_t plci_of(std::uint32_t address) {
  return address & 0xFFFF;
}

void call_up(call_book& book, std::uint32_t plci) {
  book.plcis.insert(plci);
  // The new host handed the PLCI out again: responses for it are the new
  // call's.
  book.ended_plcis.erase(plci);
}

// The confirmation the lost host owes for `request`; empty where there is
// no common form.
bytes made_up_confirmation(const bytes& request) {
  std::uint16_t number = capimsg::get_u16(request, capi_fields::message_number);
  std::uint8_t command = request[capi_fields::command];
  std::uint32_t address = capimsg::read_address(request).value_or(0);
  if (command == cmd::data_b3) {
    std::uint16_t handle = request.size() >= capi_fields::data_handle + 2
                               ? capimsg::get_u16(request, capi_fields::data_handle)
                               : 0;
    return capimsg::build_data_b3_conf(0, number, {address, handle, info_request_lost});
  }
  if (command == cmd::facility) {
    capimsg::facility_conf conf{address, info_request_lost, 0, {}};
    if (auto asked = capimsg::read_facility(request))
      conf.selector = asked->selector;
    return capimsg::build_facility_conf(0, number, conf);
  }
  if (command == cmd::manufacturer)
    return {};
  return capimsg::build_conf(0, number, command, {address, info_request_lost});
}

} // namespace

void note_put(call_book& book, const bytes& message) {
  auto header = capimsg::read_header(message);
  if (!header || header->subcommand != sub::req)
    return;
  book.unconfirmed[{header->command, header->message_number}] = {message, false, book.losses};
}

void forget_put(call_book& book, const bytes& message) {
  if (auto header = capimsg::read_header(message); header && header->subcommand == sub::req)
    book.unconfirmed.erase({header->command, header->message_number});
}

std::optional<bytes> accepted_put(call_book& book, const bytes& message) {
  auto header = capimsg::read_header(message);
  if (!header || header->subcommand != sub::req)
    return std::nullopt;
  auto put = book.unconfirmed.find({header->command, header->message_number});
  if (put == book.unconfirmed.end())
    return std::nullopt;
  if (put->second.losses == book.losses) {
    put->second.accepted = true;
    return std::nullopt;
  }
  bytes conf = made_up_confirmation(put->second.message);
  book.unconfirmed.erase(put);
  if (conf.empty())
    return std::nullopt;
  return conf;
}

bool note_incoming(call_book& book, byte_view message) {
  auto header = capimsg::read_header(message);
  if (!header)
    return true;
  std::uint32_t address = capimsg::read_address(message).value_or(0);
  if (header->subcommand == sub::conf) {
    auto asked = book.unconfirmed.find({header->command, header->message_number});
    bytes request;
    if (asked != book.unconfirmed.end()) {
      request = std::move(asked->second.message);
      book.unconfirmed.erase(asked);
    }
    auto conf = capimsg::read_conf(message);
    bool accepted = conf && conf->info == 0;
    if (header->command == cmd::listen) {
      auto controller = static_cast<std::uint8_t>(address & 0x7F);
      if (auto mine = book.repeated.find(controller); mine != book.repeated.end()) {
        if (--mine->second == 0)
          book.repeated.erase(mine);
        return false;
      }
      if (accepted && !request.empty())
        book.listens[controller] = std::move(request);
    } else if (header->command == cmd::connect && accepted) {
      call_up(book, address);
    } else if (header->command == cmd::connect_b3 && accepted) {
      book.nccis.insert(address);
    }
    return true;
  }
  if (header->subcommand != sub::ind)
    return true;
  switch (header->command) {
  case cmd::connect:
    call_up(book, address);
    break;
  case cmd::connect_b3:
    book.nccis.insert(address);
    book.plcis.insert(plci_of(address));
    break;
  case cmd::disconnect_b3:
    book.nccis.erase(address);
    break;
  case cmd::disconnect:
    book.plcis.erase(address);
    std::erase_if(book.nccis, [address](std::uint32_t ncci) { return plci_of(ncci) == address; });
    break;
  default:
    break;
  }
  return true;
}

bool answers_ended_call(call_book& book, byte_view response) {
  auto header = capimsg::read_header(response);
  auto address = capimsg::read_address(response);
  if (!header || header->subcommand != sub::resp || !address)
    return false;
  std::uint32_t plci = plci_of(*address);
  if (book.ended_plcis.count(plci) == 0)
    return false;
  // The last word on the call: its PLCI is free for the host to hand out.
  if (header->command == cmd::disconnect)
    book.ended_plcis.erase(plci);
  return true;
}

std::vector<bytes> end_everything(call_book& book) {
  std::vector<bytes> ending;
  std::erase_if(book.unconfirmed, [&ending](const auto& entry) {
    if (!entry.second.accepted)
      return false;
    if (bytes conf = made_up_confirmation(entry.second.message); !conf.empty())
      ending.push_back(std::move(conf));
    return true;
  });
  ++book.losses;
  for (std::uint32_t ncci : book.nccis) {
    ending.push_back(capimsg::build_disconnect_b3_ind(0, 0, {ncci, reason_line_lost, {}}));
    book.plcis.insert(plci_of(ncci));
  }
  for (std::uint32_t plci : book.plcis) {
    ending.push_back(capimsg::build_disconnect_ind(0, 0, {plci, reason_line_lost}));
    book.ended_plcis.insert(plci);
  }
  book.nccis.clear();
  book.plcis.clear();
  book.repeated.clear();
  return ending;
}

std::vector<bytes> listens_to_repeat(call_book& book) {
  std::vector<bytes> listens;
  for (const auto& [controller, listen] : book.listens) {
    listens.push_back(listen);
    ++book.repeated[controller];
  }
  return listens;
}

} // namespace capi_interface
