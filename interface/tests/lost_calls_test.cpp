// SPDX-License-Identifier: MIT
// The calls an application has open, followed from its messages, and the
// messages that end them when its host is lost (lost_calls.hpp), on their
// own: which calls count as up, what ends them, in which order, and which
// responses go nowhere afterwards.
#include "lost_calls.hpp"

#include "capi_bridge/capimsg.hpp"

#include <gtest/gtest.h>

namespace {

using capimsg::bytes;
using namespace capi_interface;
namespace cmd = capimsg::command;
namespace sub = capimsg::subcommand;

// "DISCONNECT_IND 0x0101": what the program is handed, in short.
std::vector<std::string> shown(const std::vector<bytes>& messages) {
  std::vector<std::string> out;
  for (const bytes& m : messages) {
    char line[64];
    std::snprintf(line, sizeof line, "%02x/%02x %08x %04x", m[4], m[5],
                  capimsg::read_address(m).value_or(0),
                  m[5] == sub::conf ? capimsg::get_u16(m, m[4] == cmd::data_b3 ? 14 : 12)
                                    : capimsg::get_u16(m, 12));
    out.emplace_back(line);
  }
  return out;
}

TEST(lost_calls, a_call_up_ends_with_its_b3_connection_then_itself) {
  call_book book;
  // An incoming call with its B3 connection, and an outgoing call the host
  // refused (no PLCI of its).
  note_incoming(book, capimsg::build_connect_ind(0, 0, {0x0101, 2, {}, {}}));
  note_incoming(book, capimsg::build_b3_ncpi(0, 0, cmd::connect_b3, sub::ind, {0x10101, {}}));
  bytes refused = capimsg::build_connect_req(0, 7, {1, 2, {0, 0, "1"}, {}, std::nullopt});
  note_put(book, refused);
  accepted_put(book, refused);
  note_incoming(book, capimsg::build_conf(0, 7, cmd::connect, {0x0201, 0x2003}));
  // A request the host took and never confirmed.
  bytes pending = capimsg::build_b3_ncpi(0, 8, cmd::reset_b3, sub::req, {0x10101, {}});
  note_put(book, pending);
  EXPECT_FALSE(accepted_put(book, pending));

  EXPECT_EQ(shown(end_everything(book)),
            (std::vector<std::string>{"87/81 00010101 2001", "84/82 00010101 3301",
                                      "04/82 00000101 3301"}));
  EXPECT_TRUE(end_everything(book).empty()) << "ended once";
}

TEST(lost_calls, responses_for_ended_calls_go_nowhere_until_the_call_is_answered) {
  call_book book;
  note_incoming(book, capimsg::build_connect_ind(0, 0, {0x0101, 2, {}, {}}));
  end_everything(book);
  auto response = [](std::uint8_t command, std::uint32_t address) {
    return capimsg::build_address_only(0, 1, command, sub::resp, address);
  };
  EXPECT_TRUE(answers_ended_call(book, response(cmd::connect_active, 0x0101)));
  EXPECT_FALSE(answers_ended_call(book, response(cmd::connect_active, 0x0201)));
  EXPECT_TRUE(answers_ended_call(book, response(cmd::disconnect, 0x0101)));
  EXPECT_FALSE(answers_ended_call(book, response(cmd::disconnect, 0x0101)))
      << "the PLCI is free once its DISCONNECT_RESP is taken";
  // A new host that hands the PLCI out again: its responses are the new
  // call's.
  end_everything(book);
  note_incoming(book, capimsg::build_connect_ind(0, 0, {0x0101, 2, {}, {}}));
  EXPECT_FALSE(answers_ended_call(book, response(cmd::connect_active, 0x0101)));
}

TEST(lost_calls, the_last_accepted_listen_is_repeated_and_its_confirmation_kept_back) {
  call_book book;
  bytes first = capimsg::build_listen_req(0, 1, {1, 0, 1, 0, {}});
  bytes refused = capimsg::build_listen_req(0, 2, {1, 0, 0x10, 0, {}});
  for (const bytes& listen : {first, refused})
    note_put(book, listen);
  EXPECT_TRUE(note_incoming(book, capimsg::build_conf(0, 1, cmd::listen, {1, 0})));
  EXPECT_TRUE(note_incoming(book, capimsg::build_conf(0, 2, cmd::listen, {1, 0x2007})));
  EXPECT_EQ(listens_to_repeat(book), std::vector<bytes>{first});
  EXPECT_FALSE(note_incoming(book, capimsg::build_conf(0, 1, cmd::listen, {1, 0})))
      << "the repeated LISTEN_REQ's confirmation is the layer's";
  EXPECT_TRUE(note_incoming(book, capimsg::build_conf(0, 3, cmd::listen, {1, 0})));
}

// A request still on its way when the host is lost gets its confirmation
// once the bridge says it took it, never before, and none if it refused.
TEST(lost_calls, a_request_on_its_way_is_confirmed_only_once_taken) {
  call_book book;
  bytes taken = capimsg::build_data_b3(0, 5, sub::req, {0x10101, 9, 0, 0, {}});
  bytes refused = capimsg::build_b3_ncpi(0, 6, cmd::reset_b3, sub::req, {0x10101, {}});
  note_put(book, taken);
  note_put(book, refused);
  EXPECT_TRUE(end_everything(book).empty());
  forget_put(book, refused);
  std::optional<bytes> owed = accepted_put(book, taken);
  ASSERT_TRUE(owed);
  auto conf = capimsg::read_data_b3_conf(*owed);
  ASSERT_TRUE(conf);
  EXPECT_EQ(conf->handle, 9u);
  EXPECT_EQ(conf->info, info_request_lost);
  EXPECT_TRUE(end_everything(book).empty());
}

} // namespace
