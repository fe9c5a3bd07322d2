// SPDX-License-Identifier: MIT
// Calls between applications: ringing, answering, rejecting, clearing in
// either direction, with B3 and data both ways.
#include "emulator_test.hpp"

using namespace capimsg;

namespace {

struct clearing_case {
  std::string name;
  std::string first_appl_id;
  bool callee_hangs_up;
  bool b3_cleared_first; // by the one who hangs up, with DISCONNECT_B3_REQ
};

void PrintTo(const clearing_case& c, std::ostream* os) {
  *os << c.name;
}

class call_clearing : public emulator_test, public testing::WithParamInterface<clearing_case> {};

TEST_P(call_clearing, call_carries_data_both_ways_then_clears) {
  const clearing_case& c = GetParam();
  start({"--first-appl-id", c.first_appl_id});
  capi_app a, b;
  ASSERT_EQ(register_app(a), 0u);
  ASSERT_EQ(register_app(b), 0u);
  listen(b, cip_mask_data);

  const std::uint32_t plci_a = dial(a, "123");
  const connect_ind ind = ring(b);
  EXPECT_EQ(ind.cip, 2);
  EXPECT_EQ(ind.called.digits, "123");
  EXPECT_EQ(ind.calling.digits, std::to_string(a.id)) << "no calling number: the caller's ID";
  EXPECT_NE(ind.plci, plci_a);
  answer(b, ind.plci);
  expect_active(a, plci_a, "123");
  expect_active(b, ind.plci, std::to_string(a.id));
  const auto [ncci_a, ncci_b] = connect_b3(a, plci_a, b);
  ASSERT_FALSE(HasFailure());

  data_side side_a = sending(a, ncci_a, make_blocks(1, 25));
  data_side side_b = sending(b, ncci_b, make_blocks(2, 25));
  side_a.expected = joined(side_b.blocks);
  side_b.expected = joined(side_a.blocks);
  run_data({&side_a, &side_b});

  capi_app& hanger = c.callee_hangs_up ? b : a;
  capi_app& other = c.callee_hangs_up ? a : b;
  const std::uint32_t hanger_plci = c.callee_hangs_up ? ind.plci : plci_a;
  const std::uint32_t other_plci = c.callee_hangs_up ? plci_a : ind.plci;
  const std::uint32_t hanger_ncci = c.callee_hangs_up ? ncci_b : ncci_a;
  const std::uint32_t other_ncci = c.callee_hangs_up ? ncci_a : ncci_b;
  if (c.b3_cleared_first) {
    ASSERT_EQ(put(hanger, build_b3_ncpi(0, next_number(hanger), command::disconnect_b3,
                                        subcommand::req, {hanger_ncci, {}})),
              0u);
    auto conf_b3 = read_conf(expect(hanger, command::disconnect_b3, subcommand::conf));
    ASSERT_TRUE(conf_b3);
    EXPECT_EQ(conf_b3->info, 0);
  }
  ASSERT_EQ(put(hanger, build_disconnect_req(0, next_number(hanger), hanger_plci)), 0u);
  if (!c.b3_cleared_first) {
    auto conf = read_conf(expect(hanger, command::disconnect, subcommand::conf));
    ASSERT_TRUE(conf);
    EXPECT_EQ(conf->info, 0);
  }
  expect_disconnect_b3(hanger, hanger_ncci);
  if (c.b3_cleared_first) {
    EXPECT_TRUE(read_conf(expect(hanger, command::disconnect, subcommand::conf)));
  }
  expect_disconnect(hanger, hanger_plci, 0);
  expect_disconnect_b3(other, other_ncci);
  expect_disconnect(other, other_plci, info::normal_call_clearing);

  release(a);
  release(b);
  EXPECT_TRUE(emu.wait_for_log("appl=" + std::to_string(b.id) + " closed"));
  // The last DATA_B3_RESPs may race the hang-up on the other connection; the
  // responses of the call itself must each have answered something.
  const std::string log = emu.log();
  EXPECT_EQ(log.find("note: CONNECT"), std::string::npos);
  EXPECT_EQ(log.find("note: DISCONNECT"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    emulator, call_clearing,
    testing::Values(clearing_case{"caller_hangs_up", "525", false, false},
                    clearing_case{"callee_hangs_up", "530", true, false},
                    clearing_case{"callee_clears_b3_then_hangs_up", "535", true, true},
                    clearing_case{"caller_clears_b3_then_hangs_up", "590", false, true}),
    [](const auto& row) { return row.param.name; });

struct offer_case {
  std::string name;
  std::string first_appl_id;
  std::uint32_t listen_mask; // 0: the other application does not listen
  std::uint16_t reject;
  std::uint16_t caller_reason;
};

void PrintTo(const offer_case& c, std::ostream* os) {
  *os << c.name;
}

class unanswered_call : public emulator_test, public testing::WithParamInterface<offer_case> {};

TEST_P(unanswered_call, caller_learns_why) {
  const offer_case& c = GetParam();
  start({"--first-appl-id", c.first_appl_id});
  capi_app a, b;
  ASSERT_EQ(register_app(a), 0u);
  ASSERT_EQ(register_app(b), 0u);
  if (c.listen_mask != 0) {
    listen(b, c.listen_mask);
  }
  const std::uint32_t plci_a = dial(a, "123");
  if (c.reject != 0) {
    const connect_ind ind = ring(b);
    answer(b, ind.plci, c.reject);
    expect_disconnect(b, ind.plci, 0);
  }
  expect_disconnect(a, plci_a, c.caller_reason);
  EXPECT_FALSE(get(b, std::chrono::milliseconds(50))) << "nothing else for the listener";
  release(a);
  release(b);
}

INSTANTIATE_TEST_SUITE_P(
    emulator, unanswered_call,
    testing::Values(offer_case{"nobody_listens", "540", 0, 0, info::unallocated_number},
                    offer_case{"cip_mask_excludes_the_call", "545", cip_mask_telephony, 0,
                               info::unallocated_number},
                    offer_case{"listener_is_busy", "550", cip_mask_data, 3, info::user_busy},
                    offer_case{"listener_ignores", "555", 1, 1, info::no_user_responding},
                    offer_case{"listener_rejects_with_own_cause", "595", cip_mask_data, 0x34a2,
                               0x34a2}),
    [](const auto& row) { return row.param.name; });

TEST_F(emulator_test, first_listener_to_answer_gets_the_call) {
  start({"--first-appl-id", "560"});
  capi_app a, b, c;
  ASSERT_EQ(register_app(a), 0u);
  ASSERT_EQ(register_app(b), 0u);
  ASSERT_EQ(register_app(c), 0u);
  listen(b, 1); // bit 0: every CIP value
  listen(c, cip_mask_data);
  const std::uint32_t plci_a = dial(a, "777");
  const connect_ind ring_b = ring(b);
  const connect_ind ring_c = ring(c);
  EXPECT_EQ(ring_b.plci, ring_c.plci) << "one call, one PLCI for every listener";
  ASSERT_EQ(put(c, build_connect_resp(0, 1, {ring_c.plci, 0, std::nullopt, {0, 0, "4242"}})), 0u);
  expect_disconnect(b, ring_b.plci, info::another_application_got_call);
  expect_active(a, plci_a, "4242");
  expect_active(c, ring_c.plci, std::to_string(a.id));
  answer(b, ring_b.plci); // too late: ignored
  ASSERT_TRUE(emu.wait_for_log("note: CONNECT_RESP answers no offered call"));

  ASSERT_EQ(put(c, build_disconnect_req(0, next_number(c), ring_c.plci)), 0u);
  EXPECT_TRUE(read_conf(expect(c, command::disconnect, subcommand::conf)));
  expect_disconnect(c, ring_c.plci, 0);
  expect_disconnect(a, plci_a, info::normal_call_clearing);
  release(a);
  release(b);
  release(c);
}

TEST_F(emulator_test, release_during_a_call_clears_the_peer) {
  start({"--first-appl-id", "565"});
  capi_app a, b;
  ASSERT_EQ(register_app(a), 0u);
  ASSERT_EQ(register_app(b), 0u);
  const call_ends ends = call_with_b3(a, b);
  release(a);
  EXPECT_TRUE(emu.wait_for_log("appl=" + std::to_string(a.id) + " release"));
  expect_disconnect_b3(b, ends.ncci_b);
  expect_disconnect(b, ends.plci_b, info::normal_call_clearing);
  release(b);
}

} // namespace
