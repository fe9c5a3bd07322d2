// SPDX-License-Identifier: MIT
// The stream front end: request framing, the length test, unknown kinds,
// pipelining, byte transparency, and how the bridge ends.
#include "support/bridge_fixture.hpp"

namespace {

const bytes illegal_command_reply = from_hex("04000000 02110000");

struct ending_case {
  const char* name;
  bytes input;
};
void PrintTo(const ending_case& row, std::ostream* out) {
  *out << row.name;
}

class ending_test : public bridge_test, public ::testing::WithParamInterface<ending_case> {};

// Each of these ends the bridge quietly: no reply, exit status 0, and the
// registered application released exactly once.
TEST_P(ending_test, ends_without_reply_and_releases_once) {
  auto bridge = start();
  ASSERT_TRUE(bridge->write(open_request(5000, 2, "127.0.0.1")));
  ASSERT_TRUE(replies(*bridge, 0, registered_1));
  ASSERT_TRUE(bridge->write(GetParam().input));
  bridge->close_input();
  EXPECT_TRUE(bridge->output_ends());
  auto end = bridge->wait();
  EXPECT_TRUE(end.exited);
  EXPECT_EQ(end.status, 0);
  EXPECT_EQ(calls("capi20_release"), std::vector<std::string>{"capi20_release 1"});
}

INSTANTIATE_TEST_SUITE_P(
    frames, ending_test,
    ::testing::Values(ending_case{"end_of_input", {}},
                      ending_case{"length_zero", from_hex("00000000 47")},
                      ending_case{"length_above_limit", from_hex("01001000") + bytes(64, 'G')},
                      ending_case{"length_all_ones", from_hex("ffffffff 47")},
                      ending_case{"one_length_byte", from_hex("01")},
                      ending_case{"three_length_bytes", from_hex("010000")},
                      ending_case{"body_cut_short", from_hex("0a000000 47474747")}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(bridge_test, unknown_kinds_get_illegal_command_and_the_loop_goes_on) {
  auto bridge = start();
  for (std::uint8_t kind : bytes{'A', 'o', 'D', 'g', 'c', 0x00, 0x0a, 0xff}) {
    ASSERT_TRUE(bridge->write(frame(bytes{kind})));
    ASSERT_TRUE(bridge->read_exactly(8) == illegal_command_reply) << "kind " << int(kind);
  }
  ASSERT_TRUE(bridge->write(frame("C")));
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_TRUE(bridge->output_ends());
  EXPECT_EQ(bridge->wait().status, 0);
}

TEST_F(bridge_test, largest_request_is_read_and_dispatched) {
  auto bridge = start();
  bytes body(0x100000, 0x5a);
  body[0] = 'A';
  ASSERT_TRUE(bridge->write(frame(body)));
  EXPECT_TRUE(replies(*bridge, 0x1102));
  // A body of one byte, and the buffer that grew for the large one still serves.
  ASSERT_TRUE(bridge->write(frame("G") + frame("A")));
  EXPECT_TRUE(replies(*bridge, 0x1104));
  EXPECT_TRUE(replies(*bridge, 0x1102));
}

TEST_F(bridge_test, bytes_after_the_fields_a_kind_reads_are_ignored) {
  script("profile 0102030405060708\n");
  auto bridge = start();
  ASSERT_TRUE(bridge->write(frame(bytes{'G'} + bytes(10, 0x0a))));
  EXPECT_TRUE(replies(*bridge, 0x1104));
  ASSERT_TRUE(bridge->write(open_request(1, 1, "h")));
  ASSERT_TRUE(replies(*bridge, 0, registered_1));
  ASSERT_TRUE(bridge->write(frame(bytes{'P'} + le32(7) + from_hex("ffffffff"))));
  auto profile = bridge->read_reply();
  ASSERT_TRUE(profile);
  EXPECT_EQ(to_hex(bytes(profile->body.begin(), profile->body.begin() + 8)), "0102030405060708");
  ASSERT_TRUE(bridge->write(frame(bytes{'C'} + bytes{'G', 'G'})));
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_EQ(calls("capi20_get_profile"), std::vector<std::string>{"capi20_get_profile 7"});
  EXPECT_EQ(bridge->wait().status, 0);
}

TEST_F(bridge_test, pipelined_requests_are_answered_in_order) {
  auto bridge = start();
  bytes requests;
  constexpr int rounds = 2000;
  for (int i = 0; i < rounds; ++i)
    requests = requests + frame("G") + frame("X") + profile_request(1);
  requests = requests + frame("C");
  ASSERT_TRUE(bridge->write(requests));
  for (int i = 0; i < rounds; ++i) {
    ASSERT_TRUE(replies(*bridge, 0x1104)) << "round " << i;
    ASSERT_TRUE(replies(*bridge, 0x1102)) << "round " << i;
    ASSERT_TRUE(replies(*bridge, 0x1009, bytes(64, 0))) << "round " << i;
  }
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_TRUE(bridge->output_ends());
}

TEST_F(bridge_test, control_characters_pass_unchanged_both_ways) {
  bytes special;
  for (int i = 0; i < 8; ++i)
    special = special + from_hex("0a0d1a000d0a1aff");
  script("profile " + to_hex(special) + "\n");
  auto bridge = start();
  ASSERT_TRUE(bridge->write(open_request(0x0a0d, 0x1a0a, "\x0d\x0a\x1a\x7f")));
  ASSERT_TRUE(replies(*bridge, 0, registered_1));
  ASSERT_TRUE(bridge->write(profile_request(0x0d0a1a0a)));
  EXPECT_TRUE(replies(*bridge, 0, special));
  EXPECT_EQ(calls("capi20ext_set_host"), std::vector<std::string>{"capi20ext_set_host 0d0a1a7f"});
  EXPECT_EQ(calls("capi20ext_set_port"), std::vector<std::string>{"capi20ext_set_port 2573"});
  EXPECT_EQ(calls("capi20_register"), std::vector<std::string>{"capi20_register 6666 7 2048"});
  EXPECT_EQ(calls("capi20_get_profile"),
            std::vector<std::string>{"capi20_get_profile " + std::to_string(0x0d0a1a0a)});
}

TEST_F(bridge_test, close_releases_once_and_ends) {
  auto bridge = start();
  ASSERT_TRUE(bridge->write(open_request(1, 1, "h") + frame("C") + frame("G")));
  ASSERT_TRUE(replies(*bridge, 0, registered_1));
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_TRUE(bridge->output_ends()) << "a request after Close was answered";
  EXPECT_EQ(bridge->wait().status, 0);
  EXPECT_EQ(calls("capi20_release"), std::vector<std::string>{"capi20_release 1"});
}

TEST_F(bridge_test, nothing_registered_nothing_released) {
  for (const bytes& last : {frame("C"), bytes{}, from_hex("00000000")}) {
    auto bridge = start();
    ASSERT_TRUE(bridge->write(frame("G") + last));
    EXPECT_TRUE(replies(*bridge, 0x1104));
    bridge->close_input();
    if (last == frame("C")) {
      EXPECT_TRUE(replies(*bridge, 0));
    }
    EXPECT_TRUE(bridge->output_ends());
    EXPECT_EQ(bridge->wait().status, 0);
  }
  EXPECT_EQ(calls("capi20_release"), std::vector<std::string>{});
}

// A client that stops reading before it stops writing: replies fail to reach
// it, the bridge carries on, and at the end of its input it releases and
// exits 0 as usual.
TEST_F(bridge_test, closed_output_does_not_stop_the_bridge) {
  auto bridge = start();
  ASSERT_TRUE(bridge->write(open_request(1, 1, "h")));
  ASSERT_TRUE(replies(*bridge, 0, registered_1));
  bridge->close_output();
  for (int i = 0; i < 200; ++i)
    ASSERT_TRUE(bridge->write(frame("G") + profile_request(1)));
  bridge->close_input();
  auto end = bridge->wait();
  EXPECT_TRUE(end.exited) << "signal " << end.signal;
  EXPECT_EQ(end.status, 0);
  EXPECT_EQ(calls("capi20_release"), std::vector<std::string>{"capi20_release 1"});
  EXPECT_EQ(calls("capi20_get_profile").size(), 200u);
}

} // namespace
