// SPDX-License-Identifier: MIT
// The fault switches and stopping: what a client sees when the host drops
// its connections, stops answering, or goes away by itself.
#include "emulator_test.hpp"

#include <capi20.h>

using namespace capimsg;

namespace {

TEST_F(emulator_test, drop_after_answers_then_closes_and_serves_later_connections) {
  start({"--first-appl-id", "680", "--drop-after", "2"});
  capi_app a;
  ASSERT_EQ(register_app(a), 0u);
  listen(a, cip_mask_data);
  listen(a, cip_mask_telephony); // the 2nd message: answered, then the drop
  timeval wait{2, 0};
  ASSERT_EQ(capi20_waitformessage(a.id, &wait), 0u) << "end of stream is readable";
  unsigned char* m = nullptr;
  EXPECT_EQ(capi20_get_message(a.id, &m), 0x1104u) << "the library's word for a closed connection";
  EXPECT_TRUE(emu.wait_for_log("dropping 2 connections"));
  release(a);

  capi_app b;
  ASSERT_EQ(register_app(b), 0u);
  listen(b, cip_mask_data);
  listen(b, cip_mask_data);
  unsigned char profile[64];
  EXPECT_EQ(get_profile(1, profile), 0u);
  release(b);
}

TEST_F(emulator_test, stall_after_keeps_connections_open_and_answers_nothing) {
  start({"--first-appl-id", "685", "--stall-after", "1"});
  capi_app a;
  ASSERT_EQ(register_app(a), 0u);
  listen(a, cip_mask_data);
  ASSERT_EQ(put(a, build_listen_req(0, next_number(a), {1, 0, cip_mask_data, 0, {}})), 0u);
  timeval wait{0, 300000};
  EXPECT_EQ(capi20_waitformessage(a.id, &wait), 0x1104u) << "a timeout, not an end of stream";
  EXPECT_TRUE(emu.wait_for_log("stalled, not answered: LISTEN_REQ"));
  release(a);
}

TEST(emulator, exits_by_itself_after_exit_after) {
  harness::local_emulator emu;
  std::string error;
  ASSERT_TRUE(start_emulator({"--exit-after", "1"}, emu, error)) << error;
  auto ended = emu.wait(std::chrono::seconds(5));
  EXPECT_TRUE(ended && ended->exited && ended->code == 0);
  EXPECT_NE(emu.log().find("exit (--exit-after)"), std::string::npos);
}

TEST(emulator, refuses_bad_usage) {
  harness::local_emulator emu;
  std::string error;
  EXPECT_FALSE(start_emulator({"--controllers", "0"}, emu, error));
  EXPECT_FALSE(start_emulator({"--refuse-register", "0"}, emu, error));
  EXPECT_FALSE(start_emulator({"--no-such-option"}, emu, error));
}

} // namespace
