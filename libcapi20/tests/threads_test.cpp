// SPDX-License-Identifier: MIT
// Several threads on the library at once, against the emulated host: each
// with an application of its own, the shared control connection in
// between, and a release that ends another thread's wait. Built a second
// time with ThreadSanitizer.
#include "entry_points.hpp"

#include "capi_bridge/capimsg.hpp"
#include "harness/emulator.hpp"

#include <gtest/gtest.h>

#include <sys/time.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

using namespace capimsg;

namespace {

class threads : public testing::Test {
protected:
  harness::local_emulator emu;
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(emu.start(CAPI_HOST_EMULATOR, {"--exit-after", "60"}, "", error)) << error;
    char driver[] = "fritzbox";
    char host[] = "127.0.0.1";
    capi20ext_set_driver(driver);
    capi20ext_set_host(host);
    capi20ext_set_port(emu.port());
  }
};

// Registers, asks for a LISTEN_CONF `rounds` times and the profile in
// between, and releases; the first thing that went wrong, or "".
std::string listen_and_ask(int rounds) {
  unsigned id = 0;
  if (capi20_register(1, 7, 2048, &id) != 0)
    return "register";
  std::string failed;
  for (int round = 0; round < rounds && failed.empty(); ++round) {
    bytes listen = build_listen_req(static_cast<std::uint16_t>(id),
                                    static_cast<std::uint16_t>(round), {1, 0, 4, 0, {}});
    timeval wait{5, 0};
    unsigned char* m = nullptr;
    unsigned char profile[64];
    if (capi20_put_message(id, listen.data()) != 0)
      failed = "put";
    else if (capi20_waitformessage(id, &wait) != 0 || capi20_get_message(id, &m) != 0)
      failed = "no LISTEN_CONF";
    else if (m[4] != command::listen || get_u16(byte_view(m, 8), 6) != round)
      failed = "another message";
    else if (capi20_get_profile(1, profile) != 0 && capi20_isinstalled() != 0)
      failed = "profile";
  }
  capi20_release(id);
  return failed;
}

TEST_F(threads, each_with_its_own_application_at_once) {
  std::vector<std::future<std::string>> results;
  for (int thread = 0; thread < 4; ++thread)
    results.push_back(std::async(std::launch::async, listen_and_ask, 30));
  for (auto& result : results)
    EXPECT_EQ(result.get(), "");
}

TEST_F(threads, release_ends_a_wait_without_limit_in_another_thread) {
  unsigned id = 0;
  ASSERT_EQ(capi20_register(1, 7, 2048, &id), 0u);
  auto waited = std::async(std::launch::async, [id] { return capi20_waitformessage(id, nullptr); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(capi20_release(id), 0u);
  ASSERT_EQ(waited.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(waited.get(), 0x1101u) << "released meanwhile";
}

} // namespace
