// SPDX-License-Identifier: MIT
// Registration, profile and configuration against hosts that answer badly
// or not at all, and the table of applications, which is this process's
// alone.
#include "entry_points.hpp"
#include "fake_host.hpp"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace capimsg;

namespace {

struct reply_case {
  const char* name;
  std::vector<bytes> reply;
  unsigned info;
};

class register_reply : public testing::TestWithParam<reply_case> {};

TEST_P(register_reply, gives_its_result_at_once) {
  fake_host host(GetParam().reply, {});
  host.use();
  unsigned id = 99;
  EXPECT_EQ(capi20_register(1, 7, 2048, &id), GetParam().info);
  if (GetParam().info == 0) {
    EXPECT_EQ(id, 5u);
    EXPECT_EQ(capi20_release(id), 0u);
  } else {
    EXPECT_EQ(id, 0u);
  }
}

bytes reply_with_length(std::uint8_t length) {
  bytes r = fake_host::register_reply(5);
  r[1] = length;
  r.resize(2u + length);
  return r;
}

// Bytes `from` to `to` of the reply that hands out ID 5.
bytes piece(std::size_t from, std::size_t to) {
  bytes r = fake_host::register_reply(5);
  return bytes(r.begin() + static_cast<std::ptrdiff_t>(from),
               r.begin() + static_cast<std::ptrdiff_t>(to));
}

INSTANTIATE_TEST_SUITE_P(
    libcapi20, register_reply,
    testing::Values(reply_case{"whole", {fake_host::register_reply(5)}, 0},
                    reply_case{"in_three_pieces", {piece(0, 1), piece(1, 7), piece(7, 20)}, 0},
                    reply_case{"refused", {fake_host::register_reply(5, 0x1007)}, 0x1008},
                    reply_case{"too_short_for_its_info", {reply_with_length(17)}, 0x1008},
                    reply_case{"with_id_0", {fake_host::register_reply(0)}, 0x1008},
                    reply_case{"with_id_1024", {fake_host::register_reply(1024)}, 0x1008},
                    reply_case{"cut_off", {piece(0, 10), {}}, 0x1008}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(profile, short_reply_fails_and_the_next_call_connects_again) {
  bytes short_reply = fake_host::profile_reply();
  short_reply[1] = 18 + 63;
  short_reply.pop_back();
  fake_host bad({}, short_reply);
  bad.use();
  unsigned char profile[64] = {};
  EXPECT_EQ(capi20_get_profile(1, profile), 0x1108u);
  EXPECT_EQ(bad.connections(), 1);
  EXPECT_EQ(capi20_get_profile(1, profile), 0x1108u);
  EXPECT_EQ(bad.connections(), 2) << "a control connection of its own";

  fake_host good({}, fake_host::profile_reply());
  good.use();
  EXPECT_EQ(capi20_get_profile(1, profile), 0u);
  EXPECT_EQ(profile[0], 1);
  EXPECT_EQ(profile[63], 64);
}

struct setting {
  const char* name;
  const char* driver;
  const char* host;
  int port; // -2: the host's own
  unsigned info;
};

class configuration : public testing::TestWithParam<setting> {};

TEST_P(configuration, decides_whether_the_library_is_installed) {
  // Refused at once: a registration that gets as far as the host fails.
  fake_host host({fake_host::register_reply(5, 0x1007)}, fake_host::profile_reply());
  char driver[32];
  char name[32];
  std::snprintf(driver, sizeof driver, "%s", GetParam().driver);
  std::snprintf(name, sizeof name, "%s", GetParam().host);
  capi20ext_set_driver(driver);
  capi20ext_set_host(name);
  capi20ext_set_port(GetParam().port == -2 ? host.port() : GetParam().port);
  EXPECT_EQ(capi20_isinstalled(), GetParam().info);
  unsigned char buffer[64];
  EXPECT_EQ(capi20_get_serial_number(1, buffer) == buffer, GetParam().info == 0);
  unsigned id = 0;
  EXPECT_EQ(capi20_register(1, 7, 2048, &id), GetParam().info == 0 ? 0x1008u : 0x1009u);
}

INSTANTIATE_TEST_SUITE_P(
    libcapi20, configuration,
    testing::Values(setting{"fritzbox", "fritzbox", "127.0.0.1", -2, 0},
                    setting{"driver_in_capitals", "FRITZBOX", "127.0.0.1", -2, 0},
                    setting{"no_driver_named", "", "127.0.0.1", -2, 0},
                    setting{"another_driver", "rcapi", "127.0.0.1", -2, 0x1009},
                    setting{"no_host", "fritzbox", "", -2, 0x1009},
                    setting{"port_0", "fritzbox", "127.0.0.1", 0, 0x1009},
                    setting{"port_beyond_16_bits", "fritzbox", "127.0.0.1", 0x10000, 0x1009}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(fixed_answers, are_the_same_whatever_the_controller) {
  fake_host host({}, {});
  host.use();
  unsigned char buffer[64];
  ASSERT_EQ(capi20_get_manufacturer(7, buffer), buffer);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)), "capi-bridge");
  ASSERT_EQ(capi20_get_version(0, buffer), buffer);
  EXPECT_EQ(bytes(buffer, buffer + 16), (bytes{2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0}));
  ASSERT_EQ(capi20_get_serial_number(1, buffer), buffer);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)), "0004711");
}

// Debian's library keeps its IDs in a table that every process on the
// machine shares, so another process's release of the same ID breaks an
// application here. This library's table is the process's own.
TEST(application_table, is_the_process_own) {
  fake_host here({fake_host::register_reply(5)}, {});
  fake_host there({fake_host::register_reply(5)}, {});
  here.use();
  unsigned id = 0;
  ASSERT_EQ(capi20_register(1, 7, 2048, &id), 0u);
  std::string port = std::to_string(there.port());
  char self[] = "/proc/self/exe";
  char option[] = "--register-and-release";
  char* arguments[] = {self, option, port.data(), nullptr};
  pid_t child = -1;
  ASSERT_EQ(::posix_spawn(&child, self, nullptr, nullptr, arguments, environ), 0);
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process, ID 5 too";
  bytes listen = build_listen_req(5, 2, {1, 0, 4, 0, {}});
  EXPECT_EQ(capi20_put_message(5, listen.data()), 0u);
  EXPECT_EQ(here.received(3 + listen.size()).size(), 3 + listen.size());
  EXPECT_EQ(capi20_release(5), 0u);
}

} // namespace
