// SPDX-License-Identifier: MIT
// Faults around a bridge: the host drops every connection mid-call, the host
// never answers registration, the bridge is killed mid-call.
#include "e2e_fixture.hpp"

#include <csignal>

using namespace capi_bridge;
using namespace toolkit;
namespace cmd = capimsg::command;
namespace sub = capimsg::subcommand;

namespace {

TEST_F(e2e_test, bridge_outlives_a_host_that_drops_every_connection_mid_call) {
  // The call takes 9 CAPI messages to set up; the drop comes during the data.
  start_emulator(160, {"--drop-after", "40"});
  client& a = opened_bridge("a");
  client& b = opened_bridge("b");
  call c = place_call(a, b, "123");
  two_way_data d = both_ways(a, b, c, 256 * 1024);
  EXPECT_THROW(exchange_data({&d.caller, &d.callee}, std::chrono::milliseconds(1000)), call_error);
  ASSERT_TRUE(emulator.wait_for_log("connections after 40 CAPI messages"));

  // Every request still gets its reply. Sends on a dropped connection fail
  // (with SIGPIPE, which the bridge does not die of).
  for (client* end : {&a, &b}) {
    const std::uint32_t ncci = end == &a ? c.caller_ncci : c.callee_ncci;
    for (std::uint16_t handle = 100; handle < 105; ++handle) {
      message_result got = end->get();
      EXPECT_NE(got.status.from, source::transport) << got.status.text();
      outcome put = end->put(capimsg::build_data_b3(
          0, end->next_number(), sub::req, {ncci, handle, 0, std::uint64_t{0}, pattern(9, 10)}));
      EXPECT_NE(put.from, source::transport) << put.text();
    }
    outcome last = end->put(capimsg::build_disconnect_req(0, end->next_number(), c.caller_plci));
    EXPECT_EQ(last.from, source::library) << last.text();
    EXPECT_EQ(last.info, 0x1108u) << "the library's word for a failed send";
    profile_result p = end->profile(1);
    EXPECT_NE(p.status.from, source::transport) << p.status.text();
  }
  for (client* end : {&a, &b}) {
    auto ended = end->end_input(std::chrono::milliseconds(5000));
    ASSERT_TRUE(ended) << "the bridge did not end";
    EXPECT_TRUE(ended->exited) << "signal " << ended->signal;
    EXPECT_EQ(ended->code, 0);
  }
}

TEST_F(e2e_test, open_that_the_host_never_answers_times_out_and_the_bridge_is_killed) {
  start_emulator(220, {"--silent-register"});
  client_options options = bridge_options("a");
  options.open_timeout = std::chrono::milliseconds(1000);
  client a(options);
  const long pid = a.process_id();
  open_result opened = a.open("127.0.0.1", emulator.port(), 2);
  EXPECT_EQ(opened.status.from, source::transport);
  EXPECT_NE(opened.status.failure.find("no reply within 1000 ms"), std::string::npos)
      << opened.status.failure;
  EXPECT_TRUE(emulator.wait_for_log("not answered (--silent-register)"));
  ASSERT_TRUE(a.exit()) << "the bridge was reaped";
  EXPECT_EQ(a.exit()->signal, SIGKILL);
  EXPECT_NE(::kill(static_cast<pid_t>(pid), 0), 0) << "no such process any more";
  EXPECT_FALSE(a.usable());

  outcome later = a.put(capimsg::build_listen_req(0, 1, {1, 0, 0, 0, {}}));
  EXPECT_EQ(later.from, source::transport);
  EXPECT_NE(later.failure.find("not in use any more"), std::string::npos) << later.failure;
}

TEST_F(e2e_test, bridge_killed_mid_call_is_a_transport_failure_and_the_peer_is_cleared) {
  start_emulator(230);
  client& a = opened_bridge("a");
  client& b = opened_bridge("b");
  call c = place_call(a, b, "123");

  ASSERT_EQ(::kill(static_cast<pid_t>(a.process_id()), SIGKILL), 0);
  message_result got = a.get();
  EXPECT_EQ(got.status.from, source::transport);
  EXPECT_NE(got.status.failure.find("the bridge ended by signal 9"), std::string::npos)
      << got.status.failure;
  EXPECT_FALSE(a.usable());
  EXPECT_EQ(a.put(capimsg::build_disconnect_req(0, 1, c.caller_plci)).from, source::transport);

  // The host sees A's connection end and clears the call towards B.
  await_b3_cleared(b, c.callee_ncci);
  EXPECT_EQ(await_cleared(b, c.callee_plci), capimsg::info::normal_call_clearing);
  EXPECT_TRUE(b.close().ok());
}

} // namespace
