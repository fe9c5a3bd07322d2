// SPDX-License-Identifier: MIT
// Register, release and get-profile as the real library does them.
#include "emulator_test.hpp"

using namespace capimsg;

namespace {

TEST_F(emulator_test, register_hands_out_unique_ids_and_release_frees_them) {
  start({"--first-appl-id", "500"});
  capi_app a, b, c;
  ASSERT_EQ(register_app(a), 0u);
  ASSERT_EQ(register_app(b), 0u);
  EXPECT_EQ(a.id, 500u);
  EXPECT_EQ(b.id, 501u);
  release(a);
  EXPECT_TRUE(emu.wait_for_log("appl=500 release"));
  EXPECT_TRUE(emu.wait_for_log("appl=500 closed (end of stream)"));
  ASSERT_EQ(register_app(c), 0u);
  EXPECT_EQ(c.id, 500u) << "the lowest free ID again";
  release(b);
  release(c);
  EXPECT_TRUE(emu.wait_for_log("appl=501 release"));
}

TEST_F(emulator_test, profile_of_controller_0_and_of_each_controller) {
  start({"--first-appl-id", "505", "--controllers", "2"});
  unsigned char profile[64];
  for (unsigned controller : {0u, 1u, 2u}) {
    std::fill(std::begin(profile), std::end(profile), 0xee);
    ASSERT_EQ(get_profile(controller, profile), 0u);
    const byte_view p(profile, sizeof profile);
    EXPECT_EQ(get_u16(p, 0), 2) << "controllers, asked for " << controller;
    if (controller != 0) {
      EXPECT_EQ(get_u16(p, 2), 2) << "B channels";
      EXPECT_EQ(get_u32(p, 4), 0x01u) << "global options";
      EXPECT_EQ(get_u32(p, 8), 0x03u) << "B1: HDLC, transparent";
      EXPECT_EQ(get_u32(p, 12), 0x03u) << "B2: X.75, transparent";
      EXPECT_EQ(get_u32(p, 16), 0x01u) << "B3: transparent";
      EXPECT_EQ(std::string(reinterpret_cast<char*>(profile + 44), 18), "capi-host-emulator");
    }
  }
  ASSERT_EQ(get_profile(3, profile), 0u);
  EXPECT_EQ(get_u16(byte_view(profile, 2), 0), 0) << "no such controller: zeros";
  EXPECT_TRUE(emu.wait_for_log("get-profile ctrl=3"));
}

TEST_F(emulator_test, refused_register_fails_in_the_library) {
  start({"--first-appl-id", "510", "--refuse-register", "0x1007"});
  capi_app a;
  EXPECT_EQ(register_app(a), 0x1008u) << "the library reports every refusal as 0x1008";
  EXPECT_TRUE(emu.wait_for_log("info=0x1007"));
}

TEST_F(emulator_test, silent_register_leaves_the_library_waiting) {
  start({"--first-appl-id", "515", "--silent-register"});
  capi_app a;
  EXPECT_EQ(register_app(a, 2, 7, 2048, std::chrono::milliseconds(300)), 0x1008u)
      << "only the alarm ends the wait";
  EXPECT_TRUE(emu.wait_for_log("not answered (--silent-register)"));
}

} // namespace
