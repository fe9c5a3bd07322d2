// SPDX-License-Identifier: MIT
// Open, Profile and Close through the real library: registration as the
// host answers it, profiles as the host serves them, a host that is not
// there, and a host that refuses registration.
#include "e2e_fixture.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace capi_bridge;

namespace {

TEST_F(e2e_test, open_registers_with_the_id_the_host_assigned_and_close_releases_it) {
  start_emulator(100);
  client& a = bridge("a");
  open_result opened = a.open("127.0.0.1", emulator.port(), 2);
  ASSERT_TRUE(opened.status.ok()) << opened.status.text();
  EXPECT_EQ(opened.stage, open_stage::registered);
  EXPECT_EQ(opened.appl_id, 100u);
  EXPECT_EQ(a.appl_id(), 100u);
  EXPECT_TRUE(
      emulator.wait_for_log("register max_logical=2 blocks=7 len=2048 -> appl=100 info=0x0000"));

  outcome closed = a.close();
  EXPECT_TRUE(closed.ok()) << closed.text();
  ASSERT_TRUE(a.exit());
  EXPECT_TRUE(a.exit()->exited);
  EXPECT_EQ(a.exit()->code, 0);
  EXPECT_TRUE(emulator.wait_for_log("appl=100 release"));
}

TEST_F(e2e_test, profiles_of_controller_0_and_of_each_controller_are_the_hosts) {
  start_emulator(105, {"--controllers", "2"});
  client& a = opened_bridge("a");

  profile_result count = a.profile(0);
  ASSERT_TRUE(count.status.ok()) << count.status.text();
  EXPECT_EQ(count.value.controllers, 2);

  for (std::uint32_t controller : {1u, 2u}) {
    SCOPED_TRACE("controller " + std::to_string(controller));
    profile_result p = a.profile(controller);
    ASSERT_TRUE(p.status.ok()) << p.status.text();
    EXPECT_EQ(p.value.controllers, 2);
    EXPECT_EQ(p.value.b_channels, 2);
    EXPECT_EQ(p.value.global_options, 0x01u);
    EXPECT_EQ(p.value.b1_protocols, 0x03u);
    EXPECT_EQ(p.value.b2_protocols, 0x03u);
    EXPECT_EQ(p.value.b3_protocols, 0x01u);
    // The emulator names itself in the manufacturer-specific part.
    EXPECT_EQ(std::string(p.value.raw.begin() + 44, p.value.raw.begin() + 62),
              "capi-host-emulator");
    EXPECT_EQ(p.value.manufacturer[0], 0x69706163u) << "\"capi\" as a little-endian word";
    EXPECT_TRUE(std::all_of(p.value.raw.begin() + 20, p.value.raw.begin() + 44, [](std::uint8_t b) {
      return b == 0;
    })) << "reserved bytes";
  }
  profile_result absent = a.profile(3);
  ASSERT_TRUE(absent.status.ok()) << absent.status.text();
  EXPECT_EQ(absent.value.controllers, 0) << "no such controller: zeros";
  EXPECT_TRUE(emulator.wait_for_log("get-profile ctrl=3"));
}

TEST_F(e2e_test, open_against_a_closed_port_says_capi_is_not_available) {
  // A socket bound but not listening: connections to its port are refused,
  // and no other program can take the port meanwhile.
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t size = sizeof address;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);

  // A short Open limit: a library that waited here would show as a
  // transport failure instead of the answer.
  client_options options = bridge_options("a");
  options.open_timeout = std::chrono::milliseconds(5000);
  client a(options);
  open_result opened = a.open("127.0.0.1", ntohs(address.sin_port), 2);
  ::close(s);
  EXPECT_EQ(opened.status.from, source::library) << opened.status.text();
  EXPECT_EQ(opened.status.info, 0x1009u);
  EXPECT_EQ(opened.stage, open_stage::capi_not_available);
  EXPECT_EQ(opened.appl_id, 0u);
  EXPECT_TRUE(a.close().ok());
}

TEST_F(e2e_test, refused_registration_is_stage_2_with_the_librarys_0x1008) {
  start_emulator(110, {"--refuse-register", "0x1007"});
  client& a = bridge("a");
  open_result opened = a.open("127.0.0.1", emulator.port(), 2);
  // The host said 0x1007; the library reports every refusal as 0x1008.
  EXPECT_EQ(opened.status.from, source::library) << opened.status.text();
  EXPECT_EQ(opened.status.info, 0x1008u);
  EXPECT_EQ(opened.stage, open_stage::register_failed);
  EXPECT_EQ(opened.appl_id, 0u);
  EXPECT_TRUE(emulator.wait_for_log("info=0x1007"));

  outcome put =
      a.put(capimsg::build_listen_req(0, 1, {1, 0, cip_mask_unrestricted_digital, 0, {}}));
  EXPECT_EQ(put.from, source::bridge) << put.text();
  EXPECT_EQ(put.info, 0x1101u) << "no application registered";
  EXPECT_TRUE(a.close().ok());
}

} // namespace
