// SPDX-License-Identifier: MIT
// Calls through two bridges and the real library: one side listens, the
// other calls, B3 carries a mebibyte each way under flow control, either side
// hangs up; a call to the echo number; a client that just goes away.
#include "e2e_fixture.hpp"

using namespace capi_bridge;
using namespace toolkit;

namespace {

constexpr std::size_t mebibyte = 1 << 20;

struct hang_up_case {
  std::string name;
  unsigned first_appl_id;
  bool callee_hangs_up;
};

void PrintTo(const hang_up_case& c, std::ostream* os) {
  *os << c.name;
}

class two_bridges : public e2e_test, public testing::WithParamInterface<hang_up_case> {};

TEST_P(two_bridges, carry_a_mebibyte_each_way_then_either_side_hangs_up) {
  const hang_up_case& param = GetParam();
  start_emulator(param.first_appl_id);
  client& a = opened_bridge("a");
  client& b = opened_bridge("b");

  // B listens; A calls; B sees CONNECT_IND with A's number and accepts.
  call c = place_call(a, b, "123");
  EXPECT_EQ(c.offered.called.digits, "123");
  EXPECT_EQ(c.offered.calling.digits, std::to_string(a.appl_id()));
  EXPECT_EQ(c.offered.cip, cip_unrestricted_digital);

  // 2,048-byte blocks, at most 7 unconfirmed, Data handles 0..7 in turn.
  two_way_data d = both_ways(a, b, c, mebibyte);
  exchange_data({&d.caller, &d.callee}, std::chrono::milliseconds(10000));
  EXPECT_EQ(d.caller.blocks_sent, mebibyte / 2048);
  EXPECT_EQ(digest(d.callee.incoming), digest(d.caller.outgoing)) << "A to B";
  EXPECT_EQ(digest(d.caller.incoming), digest(d.callee.outgoing)) << "B to A";
  EXPECT_TRUE(d.callee.incoming == d.caller.outgoing) << "A to B, byte for byte";
  EXPECT_TRUE(d.caller.incoming == d.callee.outgoing) << "B to A, byte for byte";
  // Every byte came appended to a Get reply, none other.
  EXPECT_EQ(a.counters().b3_bytes_got, mebibyte);
  EXPECT_EQ(b.counters().b3_bytes_got, mebibyte);
  EXPECT_EQ(a.counters().b3_bytes_put, mebibyte);

  client& hanger = param.callee_hangs_up ? b : a;
  client& other = param.callee_hangs_up ? a : b;
  const std::uint32_t hanger_plci = param.callee_hangs_up ? c.callee_plci : c.caller_plci;
  const std::uint32_t other_plci = param.callee_hangs_up ? c.caller_plci : c.callee_plci;
  hang_up(hanger, hanger_plci);
  await_b3_cleared(hanger, param.callee_hangs_up ? c.callee_ncci : c.caller_ncci);
  EXPECT_EQ(await_cleared(hanger, hanger_plci), 0) << "the one who hung up";
  await_b3_cleared(other, param.callee_hangs_up ? c.caller_ncci : c.callee_ncci);
  EXPECT_EQ(await_cleared(other, other_plci), capimsg::info::normal_call_clearing);

  const auto ids = {a.appl_id(), b.appl_id()};
  for (client* end : {&a, &b}) {
    outcome closed = end->close();
    EXPECT_TRUE(closed.ok()) << closed.text();
    ASSERT_TRUE(end->exit());
    EXPECT_EQ(end->exit()->code, 0);
  }
  for (std::uint32_t id : ids)
    EXPECT_TRUE(emulator.wait_for_log("appl=" + std::to_string(id) + " release")) << id;
}

INSTANTIATE_TEST_SUITE_P(hang_up, two_bridges,
                         testing::Values(hang_up_case{"caller_hangs_up", 120, false},
                                         hang_up_case{"callee_hangs_up", 130, true}),
                         [](const auto& row) { return row.param.name; });

TEST_F(e2e_test, echo_number_sends_back_every_byte) {
  start_emulator(140);
  client& a = opened_bridge("a");
  call c = place_echo_call(a, "999");
  // Blocks of an odd size, so that the last one is short.
  b3_stream s;
  s.end = &a;
  s.ncci = c.caller_ncci;
  s.outgoing = pattern(3, 200 * 1000);
  s.block_size = 1500;
  s.expected_incoming = s.outgoing.size();
  exchange_data({&s});
  EXPECT_TRUE(s.incoming == s.outgoing) << "echoed " << s.incoming.size() << " bytes";

  hang_up(a, c.caller_plci);
  await_b3_cleared(a, c.caller_ncci);
  await_cleared(a, c.caller_plci);
  EXPECT_TRUE(a.close().ok());
}

TEST_F(e2e_test, ending_the_input_without_close_releases_the_application) {
  start_emulator(150);
  client& a = opened_bridge("a");
  listen(a, 1, cip_mask_unrestricted_digital);
  auto ended = a.end_input(std::chrono::milliseconds(5000));
  ASSERT_TRUE(ended) << "the bridge did not end";
  EXPECT_TRUE(ended->exited);
  EXPECT_EQ(ended->code, 0);
  EXPECT_TRUE(emulator.wait_for_log("appl=150 release"));
  EXPECT_TRUE(emulator.wait_for_log("appl=150 closed (end of stream)"));
}

} // namespace
