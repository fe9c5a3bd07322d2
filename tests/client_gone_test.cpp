// SPDX-License-Identifier: MIT
// A client that goes away at any point of a call, closing the bridge's input,
// its output or both: the bridge never crashes or hangs, releases the
// application exactly once and exits 0.
#include "support/bridge_fixture.hpp"

namespace {

// The requests of a short call, in order; the client leaves after `stage` of them.
std::vector<bytes> call_requests() {
  return {open_request(1, 1, "127.0.0.1"),
          put_request(listen_req),
          frame("G"),
          put_request(data_b3_req(8, 7), bytes(8, 0x42)),
          frame("G"),
          frame("G"),
          put_request(data_b3_resp(3)),
          profile_request(1)};
}

enum class leaving { input, output, both };

struct gone_case {
  std::size_t stage;
  leaving how;
};

class client_gone_test : public bridge_test, public ::testing::WithParamInterface<gone_case> {};

TEST_P(client_gone_test, bridge_releases_once_and_exits_cleanly) {
  auto [stage, how] = GetParam();
  script("message " + to_hex(data_b3_conf(7)) + " \nmessage " + to_hex(data_b3_ind(16, 30, 3)) +
         " data " + to_hex(bytes(16, 0x61)) + " via data64\n");
  auto bridge = start();
  auto requests = call_requests();
  for (std::size_t i = 0; i < stage; ++i) {
    ASSERT_TRUE(bridge->write(requests[i]));
    ASSERT_TRUE(bridge->read_reply()) << "request " << i;
  }
  if (how != leaving::input)
    bridge->close_output();
  if (how == leaving::output) {
    // The client still writes; the replies go nowhere.
    for (std::size_t i = stage; i < requests.size(); ++i)
      ASSERT_TRUE(bridge->write(requests[i]));
  }
  bridge->close_input();
  auto end = bridge->wait();
  EXPECT_TRUE(end.exited) << "signal " << end.signal;
  EXPECT_EQ(end.status, 0);
  bool registered = stage > 0 || how == leaving::output;
  EXPECT_EQ(calls("capi20_release"),
            registered ? std::vector<std::string>{"capi20_release 1"} : std::vector<std::string>{});
}

std::vector<gone_case> every_point() {
  std::vector<gone_case> cases;
  for (std::size_t stage = 0; stage <= call_requests().size(); ++stage)
    for (leaving how : {leaving::input, leaving::output, leaving::both})
      cases.push_back({stage, how});
  return cases;
}

std::string case_name(const ::testing::TestParamInfo<gone_case>& row) {
  static const char* const how[] = {"input", "output", "both"};
  return "after_" + std::to_string(row.param.stage) + "_closing_" +
         how[static_cast<int>(row.param.how)];
}

INSTANTIATE_TEST_SUITE_P(faults, client_gone_test, ::testing::ValuesIn(every_point()), case_name);

} // namespace
