// SPDX-License-Identifier: MIT
// What the platform layer must get right on every system: the standard
// streams carry every byte value unchanged both ways, and the library is
// looked up only where the platform's own search looks.
#include "support/bridge_fixture.hpp"

namespace {

// A CONNECT_IND carrying every byte value and then a CR LF pair. A text-mode
// stream would end the input at 0x1A and shrink CR LF to LF, and on output
// grow each 0x0A to CR LF.
bytes message_with_every_byte_value() {
  bytes tail = counting(256) + from_hex("0d0a");
  auto length = static_cast<std::uint16_t>(8 + tail.size());
  return le16(length) + from_hex("0100 0282 0700") + tail;
}

struct route {
  const char* name;
  std::string script;
  bytes request;     // sent after an Open
  bytes reply;       // the expected reply's data, info 0
  std::string entry; // the library entry point the request reaches
  lines logged;      // its log lines
};
void PrintTo(const route& row, std::ostream* out) {
  *out << row.name;
}

class every_byte_value_test : public bridge_test, public ::testing::WithParamInterface<route> {};

TEST_P(every_byte_value_test, passes_unchanged) {
  const route& r = GetParam();
  script(r.script);
  auto bridge = start();
  ASSERT_TRUE(bridge->write(open_request(1, 1, "h") + r.request));
  ASSERT_TRUE(replies(*bridge, 0, registered_1));
  EXPECT_TRUE(replies(*bridge, 0, r.reply));
  EXPECT_EQ(calls(r.entry), r.logged);
}

route profile_route(const char* name, std::uint8_t from) {
  bytes profile = counting(64, from);
  return {name,
          "profile " + to_hex(profile) + "\n",
          profile_request(3),
          profile,
          "capi20_get_profile",
          {"capi20_get_profile 3"}};
}

INSTANTIATE_TEST_SUITE_P(
    streams, every_byte_value_test,
    ::testing::Values(
        // The profile is 64 bytes: four runs see all 256 values in a reply.
        profile_route("profile_00_to_3f", 0x00), profile_route("profile_40_to_7f", 0x40),
        profile_route("profile_80_to_bf", 0x80), profile_route("profile_c0_to_ff", 0xc0),
        route{"put_message",
              "",
              put_request(message_with_every_byte_value()),
              {},
              "capi20_put_message",
              {"capi20_put_message 1 " + to_hex(message_with_every_byte_value())}},
        route{"get_message",
              "message " + to_hex(message_with_every_byte_value()) + "\n",
              frame("G"),
              message_with_every_byte_value(),
              "capi20_get_message",
              {"capi20_get_message 1"}}),
    [](const auto& row) { return std::string(row.param.name); });

// Windows has no system copy of the library: with none beside the executable
// the search comes up empty, and the bridge says so instead of failing.
TEST_F(bridge_test, library_absent_open_reports_not_installed) {
  if (!testing_windows_build())
    GTEST_SKIP() << "Linux has Debian's libcapi20 on its system-wide search path";
  auto bridge = start("absent");
  ASSERT_TRUE(bridge->write(open_request(1, 1, "h") + profile_request(1) + frame("C")));
  EXPECT_TRUE(replies(*bridge, 0x1009, from_hex("0000000001")));
  EXPECT_TRUE(replies(*bridge, 0x1009, bytes(64, 0)));
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_TRUE(bridge->output_ends());
  EXPECT_EQ(bridge->wait().status, 0);
}

} // namespace
