// SPDX-License-Identifier: MIT
// Open, Profile and Close against the stand-in library: the calls made, in
// order, with their arguments, and the exact replies.
#include "support/bridge_fixture.hpp"

namespace {

const bytes not_available = from_hex("0000000001");
const bytes register_failed = from_hex("0000000002");

TEST_F(bridge_test, open_points_the_library_at_the_host_and_registers) {
  auto bridge = start();
  ASSERT_TRUE(bridge->write(open_request(2662, 30, "127.0.0.1")));
  EXPECT_TRUE(replies(*bridge, 0, registered_1));
  lines expected = {"capi20ext_set_driver fritzbox", "capi20ext_set_host 3132372e302e302e31",
                    "capi20ext_set_port 2662", "capi20_isinstalled", "capi20_register 30 7 2048"};
  // The registered application's connection, to tend its socket; the
  // Windows stand-in, like a library without it, has no capi20_fileno.
  if (!testing_windows_build())
    expected.push_back("capi20_fileno 1");
  EXPECT_EQ(calls(), expected);
}

// capi20_fileno is optional: a library without it serves all the same.
TEST_F(bridge_test, library_without_fileno_serves_all_the_same) {
  if (testing_windows_build())
    GTEST_SKIP() << "the Windows stand-in has no capi20_fileno anyway";
  script("message " + to_hex(listen_conf) + " after 100\n");
  auto bridge = start("without_capi20_fileno");
  ASSERT_TRUE(bridge->write(open_request(2662, 30, "127.0.0.1")));
  EXPECT_TRUE(replies(*bridge, 0, registered_1));
  ASSERT_TRUE(bridge->write(frame(bytes{'W'} + le32(5000))));
  EXPECT_TRUE(replies(*bridge, 0, listen_conf));
  EXPECT_EQ(calls("capi20_fileno"), lines{});
}

struct open_failure {
  const char* name;
  const char* variant;
  const char* script;
  bytes request;
  std::uint32_t info;
  bytes result;
  lines calls;
};
void PrintTo(const open_failure& row, std::ostream* out) {
  *out << row.name;
}

class open_failure_test : public bridge_test, public ::testing::WithParamInterface<open_failure> {};

TEST_P(open_failure_test, reports_the_stage_in_five_bytes) {
  const open_failure& c = GetParam();
  script(c.script);
  auto bridge = start(c.variant);
  ASSERT_TRUE(bridge->write(c.request));
  EXPECT_TRUE(replies(*bridge, c.info, c.result));
  EXPECT_EQ(calls(), c.calls);
  // Nothing was registered, so nothing is released at the end.
  ASSERT_TRUE(bridge->write(frame("C")));
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_EQ(calls("capi20_release"), lines{});
}

const lines setters = {"capi20ext_set_driver fritzbox", "capi20ext_set_host 68",
                       "capi20ext_set_port 1"};

INSTANTIATE_TEST_SUITE_P(
    open, open_failure_test,
    ::testing::Values(
        open_failure{
            "too_short", "full", "", frame(bytes{'O', 1, 0, 2}), 0x1009, not_available, {}},
        open_failure{"library_unloadable",
                     "unloadable",
                     "",
                     open_request(1, 1, "h"),
                     0x1009,
                     not_available,
                     {}},
        open_failure{"entry_point_missing",
                     "without_capi20_waitformessage",
                     "",
                     open_request(1, 1, "h"),
                     0x1009,
                     not_available,
                     {}},
        open_failure{"not_installed", "full", "isinstalled 0x1009\n", open_request(1, 1, "h"),
                     0x1009, not_available, setters + lines{"capi20_isinstalled"}},
        open_failure{"isinstalled_other_info", "full", "isinstalled 0x1108\n",
                     open_request(1, 1, "h"), 0x1108, not_available,
                     setters + lines{"capi20_isinstalled"}},
        // The library stored an ID before failing: the reply still says 0.
        open_failure{"register_refused", "full", "register 0x1008\nappl_id 5\n",
                     open_request(1, 3, "h"), 0x1008, register_failed,
                     setters + lines{"capi20_isinstalled", "capi20_register 3 7 2048"}}),
    [](const auto& row) { return std::string(row.param.name); });

class missing_entry_point_test : public bridge_test,
                                 public ::testing::WithParamInterface<const char*> {};

// Whichever entry point is missing, Open fails before calling any of them,
// and Profile works exactly when capi20_get_profile was found.
TEST_P(missing_entry_point_test, open_fails_and_profile_depends_on_its_own_slot) {
  std::string missing = GetParam();
  script("get_profile 0x1108\nprofile 01020304\n");
  auto bridge = start("without_" + missing);
  ASSERT_TRUE(bridge->write(open_request(1, 1, "h") + profile_request(2)));
  EXPECT_TRUE(replies(*bridge, 0x1009, not_available));
  if (missing == "capi20_get_profile") {
    EXPECT_TRUE(replies(*bridge, 0x1009, bytes(64, 0)));
    EXPECT_EQ(calls(), lines{});
  } else {
    auto profile = bridge->read_reply();
    ASSERT_TRUE(profile);
    EXPECT_EQ(profile->info, 0x1108u);
    EXPECT_EQ(to_hex(bytes(profile->body.begin(), profile->body.begin() + 4)), "01020304");
    EXPECT_EQ(calls(), lines{"capi20_get_profile 2"});
  }
}

INSTANTIATE_TEST_SUITE_P(open, missing_entry_point_test,
                         ::testing::Values("capi20_isinstalled", "capi20ext_set_driver",
                                           "capi20ext_set_host", "capi20ext_set_port",
                                           "capi20_register", "capi20_release",
                                           "capi20_put_message", "capi20_get_message",
                                           "capi20_waitformessage", "capi20_get_profile"),
                         [](const auto& row) { return std::string(row.param); });

TEST_F(bridge_test, host_name_is_cut_at_255_bytes_and_at_a_zero_byte) {
  struct {
    std::string host;
    std::string logged;
  } cases[] = {
      {"", ""},
      {std::string(300, 'a'), to_hex(bytes(255, 'a'))},
      {std::string(255, 'b'), to_hex(bytes(255, 'b'))},
      {std::string("10.0\0.0.1", 9), "31302e30"},
  };
  auto bridge = start();
  for (const auto& c : cases) {
    ASSERT_TRUE(bridge->write(open_request(0, 0, c.host)));
    EXPECT_TRUE(replies(*bridge, 0, registered_1));
  }
  lines expected;
  for (const auto& c : cases)
    expected.push_back(c.logged.empty() ? "capi20ext_set_host " : "capi20ext_set_host " + c.logged);
  EXPECT_EQ(calls("capi20ext_set_host"), expected);
  // Port 0 and max logical connections 0 are passed on as they are.
  EXPECT_EQ(calls("capi20ext_set_port").front(), "capi20ext_set_port 0");
  EXPECT_EQ(calls("capi20_register").front(), "capi20_register 0 7 2048");
}

TEST_F(bridge_test, highest_port_and_connection_count_pass_unchanged) {
  auto bridge = start();
  ASSERT_TRUE(bridge->write(open_request(65535, 65535, "h")));
  EXPECT_TRUE(replies(*bridge, 0, registered_1));
  EXPECT_EQ(calls("capi20ext_set_port"), lines{"capi20ext_set_port 65535"});
  EXPECT_EQ(calls("capi20_register"), lines{"capi20_register 65535 7 2048"});
}

// A second successful Open replaces the application without releasing the
// first; only the second is released at Close.
TEST_F(bridge_test, second_open_replaces_the_application) {
  script("appl_id 1 2\n");
  auto bridge = start();
  ASSERT_TRUE(bridge->write(open_request(1, 1, "h") + open_request(1, 1, "h") + frame("C")));
  EXPECT_TRUE(replies(*bridge, 0, registered_1));
  EXPECT_TRUE(replies(*bridge, 0, from_hex("0200000000")));
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_EQ(calls("capi20_release"), lines{"capi20_release 2"});
}

// A failed registration forgets the earlier application: it is never
// released, neither at Close nor at the end of input.
TEST_F(bridge_test, failed_second_registration_forgets_the_first) {
  for (const bytes& last : {frame("C"), bytes{}}) {
    script("register 0 0x1007\nappl_id 1 9\n");
    auto bridge = start();
    ASSERT_TRUE(bridge->write(open_request(1, 1, "h") + open_request(1, 1, "h") + last));
    EXPECT_TRUE(replies(*bridge, 0, registered_1));
    EXPECT_TRUE(replies(*bridge, 0x1007, register_failed));
    bridge->close_input();
    EXPECT_EQ(bridge->wait().status, 0);
  }
  EXPECT_EQ(calls("capi20_release"), lines{});
}

// An Open that fails before registering keeps the application it had.
TEST_F(bridge_test, open_failing_in_isinstalled_keeps_the_application) {
  script("isinstalled 0 0x1009\n");
  auto bridge = start();
  ASSERT_TRUE(bridge->write(open_request(1, 1, "h") + open_request(1, 1, "h") +
                            frame(bytes{'O', 1, 0, 1}) + frame("C")));
  EXPECT_TRUE(replies(*bridge, 0, registered_1));
  EXPECT_TRUE(replies(*bridge, 0x1009, not_available));
  EXPECT_TRUE(replies(*bridge, 0x1009, not_available));
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_EQ(calls("capi20_release"), lines{"capi20_release 1"});
}

TEST_F(bridge_test, profile_needs_a_loaded_library_and_a_controller_field) {
  script("get_profile 0x2002\nprofile " + to_hex(bytes(64, 0x11)) + "\n");
  auto bridge = start();
  ASSERT_TRUE(bridge->write(profile_request(1)));
  EXPECT_TRUE(replies(*bridge, 0x1009, bytes(64, 0))) << "before any Open";
  ASSERT_TRUE(bridge->write(open_request(1, 1, "h")));
  ASSERT_TRUE(replies(*bridge, 0, registered_1));
  ASSERT_TRUE(bridge->write(frame(bytes{'P', 1, 0, 0})));
  EXPECT_TRUE(replies(*bridge, 0x1009, bytes(64, 0))) << "controller field cut short";
  ASSERT_TRUE(bridge->write(profile_request(0)));
  EXPECT_TRUE(replies(*bridge, 0x2002, bytes(64, 0x11))) << "the library's result, whatever it is";
  EXPECT_EQ(calls("capi20_get_profile"), lines{"capi20_get_profile 0"});
}

// Needs no registered application: a failed registration still leaves the
// library loaded.
TEST_F(bridge_test, profile_after_failed_registration) {
  script("register 0x1008\n");
  auto bridge = start();
  ASSERT_TRUE(bridge->write(open_request(1, 1, "h") + profile_request(1)));
  EXPECT_TRUE(replies(*bridge, 0x1008, register_failed));
  bytes profile(64);
  for (std::size_t i = 0; i < profile.size(); ++i)
    profile[i] = static_cast<std::uint8_t>(0x40 + i);
  EXPECT_TRUE(replies(*bridge, 0, profile));
  EXPECT_EQ(calls("capi20_get_profile"), lines{"capi20_get_profile 1"});
}

} // namespace

namespace {

bytes registration_request(std::uint16_t blocks, std::uint16_t block_size) {
  return frame(bytes{'R'} + le16(blocks) + le16(block_size));
}

// "R" sets what the next Open registers; values CAPI 2.0 or the bridge
// cannot take are refused, each with its own value, and change nothing.
struct registration_case {
  const char* name;
  bytes request;
  std::uint32_t info;
  const char* registered; // what capi20_register is then given
};
void PrintTo(const registration_case& row, std::ostream* out) {
  *out << row.name;
}

class registration_test : public bridge_test,
                          public ::testing::WithParamInterface<registration_case> {};

TEST_P(registration_test, sets_or_refuses_what_open_registers) {
  const registration_case& c = GetParam();
  auto bridge = start();
  ASSERT_TRUE(bridge->write(c.request + open_request(1, 2, "h")));
  EXPECT_TRUE(replies(*bridge, c.info));
  EXPECT_TRUE(replies(*bridge, 0, registered_1));
  EXPECT_EQ(calls("capi20_register"), lines{std::string("capi20_register 2 ") + c.registered});
}

INSTANTIATE_TEST_SUITE_P(
    registration, registration_test,
    ::testing::Values(
        registration_case{"small_blocks", registration_request(3, 128), 0, "3 128"},
        registration_case{"largest", registration_request(7, 2048), 0, "7 2048"},
        registration_case{"too_short", frame(bytes{'R', 3, 0, 128}), 0x1102, "7 2048"},
        registration_case{"no_blocks", registration_request(0, 160), 0x1003, "7 2048"},
        registration_case{"eight_blocks", registration_request(8, 160), 0x1003, "7 2048"},
        registration_case{"block_below_128", registration_request(3, 127), 0x1002, "7 2048"},
        registration_case{"block_above_2048", registration_request(3, 2049), 0x300C, "7 2048"}),
    [](const auto& row) { return std::string(row.param.name); });

// "I" asks the library whether CAPI is there, as Open does, and registers
// nothing; Profile works after it.
TEST_F(bridge_test, installed_asks_the_library_and_registers_nothing) {
  script("profile " + to_hex(bytes(64, 0x22)) + "\n");
  auto bridge = start();
  bytes installed = open_request(2662, 30, "127.0.0.1");
  installed[4] = 'I';
  ASSERT_TRUE(bridge->write(installed + profile_request(0) + frame("C")));
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_TRUE(replies(*bridge, 0, bytes(64, 0x22)));
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_EQ(calls(),
            (lines{"capi20ext_set_driver fritzbox", "capi20ext_set_host 3132372e302e302e31",
                   "capi20ext_set_port 2662", "capi20_isinstalled", "capi20_get_profile 0"}));
}

TEST_F(bridge_test, installed_answers_what_the_library_says) {
  script("isinstalled 0x1009\n");
  auto bridge = start();
  ASSERT_TRUE(bridge->write(frame(bytes{'I', 1, 0, 2})));
  EXPECT_TRUE(replies(*bridge, 0x1009)) << "too short";
  EXPECT_EQ(calls(), lines{});
  bytes installed = open_request(1, 1, "h");
  installed[4] = 'I';
  ASSERT_TRUE(bridge->write(installed));
  EXPECT_TRUE(replies(*bridge, 0x1009)) << "the library's own";
  EXPECT_EQ(calls("capi20_isinstalled"), lines{"capi20_isinstalled"});
}

} // namespace
