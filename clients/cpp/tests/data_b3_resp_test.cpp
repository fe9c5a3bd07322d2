// SPDX-License-Identifier: MIT
// DATA_B3_RESP that answers nothing the library holds: the real library
// would abort the bridge on it, so the bridge refuses it with 0x2001 and
// carries on. Each case holds back one DATA_B3_IND and then answers wrongly.
#include "e2e_fixture.hpp"

using namespace capi_bridge;
using namespace toolkit;
namespace cmd = capimsg::command;
namespace sub = capimsg::subcommand;

namespace {

enum class wrong_answer {
  never_handed_out,         // a handle no DATA_B3_IND carried
  answered_twice,           // the same DATA_B3_IND answered a second time
  after_disconnect_b3_resp, // after DISCONNECT_B3_RESP for its NCCI
  after_disconnect_ind,     // after DISCONNECT_IND for its PLCI
};

struct resp_case {
  std::string name;
  unsigned first_appl_id;
  wrong_answer wrong;
};

void PrintTo(const resp_case& c, std::ostream* os) {
  *os << c.name;
}

class bad_data_b3_resp : public e2e_test, public testing::WithParamInterface<resp_case> {};

bytes resp(client& c, std::uint32_t ncci, std::uint16_t handle) {
  return capimsg::build_data_b3_resp(0, c.next_number(), {ncci, handle});
}

void expect_refused(client& c, const bytes& message) {
  outcome refused = c.put(message);
  EXPECT_EQ(refused.from, source::bridge) << refused.text();
  EXPECT_EQ(refused.info, 0x2001u) << refused.text();
}

TEST_P(bad_data_b3_resp, is_refused_and_the_bridge_goes_on_carrying_data) {
  const resp_case& param = GetParam();
  start_emulator(param.first_appl_id);
  client& a = opened_bridge("a");
  client& b = opened_bridge("b");
  call c = place_call(a, b, "123");

  // One block from B to A, which A fetches and holds.
  put_ok(b, capimsg::build_data_b3(0, b.next_number(), sub::req,
                                   {c.callee_ncci, 0, 0, std::uint64_t{0}, pattern(5, 100)}));
  expect(b, cmd::data_b3, sub::conf);
  message_result ind = expect(a, cmd::data_b3, sub::ind);
  EXPECT_EQ(ind.b3_data, pattern(5, 100));
  const std::uint16_t handle = capimsg::get_u16(ind.message, 18);
  bool call_is_up = true;

  switch (param.wrong) {
  case wrong_answer::never_handed_out:
    expect_refused(a, resp(a, c.caller_ncci, static_cast<std::uint16_t>(handle + 1)));
    expect_refused(a, resp(a, c.caller_ncci + 0x10000, handle)); // the right handle, another NCCI
    put_ok(a, resp(a, c.caller_ncci, handle));
    break;
  case wrong_answer::answered_twice:
    put_ok(a, resp(a, c.caller_ncci, handle));
    expect_refused(a, resp(a, c.caller_ncci, handle));
    break;
  case wrong_answer::after_disconnect_b3_resp:
    put_ok(a, capimsg::build_b3_ncpi(0, a.next_number(), cmd::disconnect_b3, sub::req,
                                     {c.caller_ncci, {}}));
    expect(a, cmd::disconnect_b3, sub::conf);
    await_b3_cleared(a, c.caller_ncci);
    await_b3_cleared(b, c.callee_ncci);
    expect_refused(a, resp(a, c.caller_ncci, handle));
    break;
  case wrong_answer::after_disconnect_ind:
    // A leaves DISCONNECT_B3_IND unanswered: only DISCONNECT_IND, fetched,
    // lets the library drop the block it holds.
    hang_up(b, c.callee_plci);
    await_b3_cleared(b, c.callee_ncci);
    await_cleared(b, c.callee_plci);
    expect(a, cmd::disconnect_b3, sub::ind);
    await_cleared(a, c.caller_plci);
    expect_refused(a, resp(a, c.caller_ncci, handle));
    call_is_up = false;
    break;
  }

  if (call_is_up) {
    hang_up(a, c.caller_plci);
    if (param.wrong != wrong_answer::after_disconnect_b3_resp) {
      await_b3_cleared(a, c.caller_ncci);
      await_b3_cleared(b, c.callee_ncci);
    }
    await_cleared(a, c.caller_plci);
    await_cleared(b, c.callee_plci);
  }

  // Both bridges still work: a new call carries data both ways.
  call again = place_call(a, b, "123");
  two_way_data d = both_ways(a, b, again, 64 * 1024);
  exchange_data({&d.caller, &d.callee});
  EXPECT_TRUE(d.callee.incoming == d.caller.outgoing);
  EXPECT_TRUE(d.caller.incoming == d.callee.outgoing);
  for (client* end : {&a, &b}) {
    EXPECT_TRUE(end->close().ok());
    ASSERT_TRUE(end->exit());
    EXPECT_TRUE(end->exit()->exited) << "killed by signal " << end->exit()->signal;
    EXPECT_EQ(end->exit()->code, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    cases, bad_data_b3_resp,
    testing::Values(resp_case{"handle_never_handed_out", 170, wrong_answer::never_handed_out},
                    resp_case{"second_answer", 180, wrong_answer::answered_twice},
                    resp_case{"after_disconnect_b3_resp", 190,
                              wrong_answer::after_disconnect_b3_resp},
                    resp_case{"after_disconnect_ind", 200, wrong_answer::after_disconnect_ind}),
    [](const auto& row) { return row.param.name; });

} // namespace
