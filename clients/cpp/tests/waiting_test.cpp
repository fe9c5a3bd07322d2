// SPDX-License-Identifier: MIT
// The waiting Get and the library's connection, through the real library:
// a message that arrives during the wait, a host that closes or vanishes,
// a healthy connection that stays quiet, frames the library cannot take or
// has only in part, and the socket options the bridge sets.
#include "e2e_fixture.hpp"

#include <filesystem>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

using namespace capi_bridge;
using namespace toolkit;
namespace cmd = capimsg::command;
namespace sub = capimsg::subcommand;
using namespace std::chrono_literals;

namespace {

using steady = std::chrono::steady_clock;

// Duplicates of the sockets process `pid` holds (pidfd_getfd: this process
// started it, or runs as root). The caller closes them.
std::vector<int> sockets_of(long pid) {
  std::vector<int> sockets;
  int process = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (process < 0)
    return sockets;
  std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::error_code ignored;
    std::string target = std::filesystem::read_symlink(entry.path(), ignored).string();
    if (!target.starts_with("socket:"))
      continue;
    int number = std::stoi(entry.path().filename().string());
    int copy = static_cast<int>(::syscall(SYS_pidfd_getfd, process, number, 0));
    if (copy >= 0)
      sockets.push_back(copy);
  }
  ::close(process);
  return sockets;
}

int option(int socket, int level, int name) {
  int value = -1;
  socklen_t size = sizeof value;
  ::getsockopt(socket, level, name, &value, &size);
  return value;
}

// The application's connection: the one socket with keepalive on.
struct connection_options {
  bool found = false;
  int nodelay = 0, idle = 0, interval = 0, probes = 0, user_timeout = 0;
};

connection_options application_connection(long pid) {
  connection_options o;
  for (int s : sockets_of(pid)) {
    if (option(s, SOL_SOCKET, SO_KEEPALIVE) == 1) {
      o = {true,
           option(s, IPPROTO_TCP, TCP_NODELAY),
           option(s, IPPROTO_TCP, TCP_KEEPIDLE),
           option(s, IPPROTO_TCP, TCP_KEEPINTVL),
           option(s, IPPROTO_TCP, TCP_KEEPCNT),
           option(s, IPPROTO_TCP, TCP_USER_TIMEOUT)};
    }
    ::close(s);
  }
  return o;
}

// The keepalive times of every socket of `pid`, shortened so that a test
// sees a vanished host within seconds.
void shorten_keepalive(long pid) {
  const int one = 1, two = 2, user_timeout_ms = 3000;
  for (int s : sockets_of(pid)) {
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &one, sizeof one);
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &one, sizeof one);
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &two, sizeof two);
    ::setsockopt(s, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout_ms, sizeof user_timeout_ms);
    ::close(s);
  }
}

TEST_F(e2e_test, waiting_get_hands_over_a_message_that_arrives_during_the_wait) {
  start_emulator(300);
  client& a = opened_bridge("a");
  client& b = opened_bridge("b");
  listen(a, 1, cip_mask_unrestricted_digital);
  std::thread caller([&] {
    std::this_thread::sleep_for(200ms);
    dial(b, 1, std::to_string(a.appl_id()));
  });
  auto start = steady::now();
  message_result got = a.get(20000ms);
  auto waited = steady::now() - start;
  caller.join();
  ASSERT_TRUE(got.status.ok()) << got.status.text();
  EXPECT_EQ(capimsg::read_header(got.message)->command, cmd::connect);
  EXPECT_LT(waited, 10000ms) << "the wait ran to its time-out";
  // One waiting Get, no polls. (Under Wine the bridge cannot look into a
  // Unix pipe and ends each wait after a slice.)
  if (!windows_bridge()) {
    EXPECT_EQ(a.counters().requests, 6u)
        << "the probes for the waiting Get and the batch, Open, LISTEN_REQ, a "
           "waiting Get for its LISTEN_CONF, then one for the call";
  }
}

TEST_F(e2e_test, waiting_gets_on_a_quiet_healthy_connection_all_find_nothing) {
  start_emulator(305);
  client& a = opened_bridge("a");
  listen(a, 1, cip_mask_unrestricted_digital);
  for (int i = 0; i < 25; ++i) {
    message_result got = a.get(40ms);
    ASSERT_TRUE(got.empty()) << "wait " << i << ": " << got.status.text();
  }
  EXPECT_TRUE(a.profile(1).status.ok());
  EXPECT_TRUE(a.close().ok());
}

struct host_gone_case {
  const char* name;
  std::vector<std::string> emulator_arguments;
  bool stop_emulator;     // the host process ends: its connections close
  bool shorten_keepalive; // the host vanishes: only keepalive tells
  // The shortest time it may take: a vanished host that still retransmits
  // what it sent last counts as alive at each retransmission.
  std::chrono::milliseconds at_least{0};
};
void PrintTo(const host_gone_case& c, std::ostream* os) {
  *os << c.name;
}

class host_gone : public e2e_test, public testing::WithParamInterface<host_gone_case> {};

TEST_P(host_gone, during_a_waiting_get_is_reported_once_the_connection_ends) {
  const host_gone_case& c = GetParam();
  if (c.shorten_keepalive && windows_bridge())
    GTEST_SKIP() << "the Windows bridge's library gives no socket to keep alive";
  start_emulator(310, c.emulator_arguments);
  client& a = opened_bridge("a");
  listen(a, 1, cip_mask_unrestricted_digital);
  if (c.shorten_keepalive)
    shorten_keepalive(a.process_id());
  std::thread stopper([&] {
    if (c.stop_emulator) {
      std::this_thread::sleep_for(200ms);
      emulator.stop();
    }
  });
  message_result got;
  auto start = steady::now();
  auto until = start + 30s;
  do
    got = a.get(5000ms);
  while (got.empty() && steady::now() < until);
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start);
  stopper.join();
  EXPECT_TRUE(got.host_gone()) << got.status.text();
  EXPECT_GE(took, c.at_least);
  std::cout << "host gone noticed after " << took.count() << " ms\n";
  // It stays gone, at once, and the bridge still serves and releases.
  EXPECT_TRUE(a.get(5000ms).host_gone());
  EXPECT_TRUE(a.close().ok());
  emulator_started = !c.stop_emulator;
}

INSTANTIATE_TEST_SUITE_P(waiting, host_gone,
                         testing::Values(host_gone_case{"host_ends", {}, true, false},
                                         host_gone_case{"host_vanishes_without_closing",
                                                        {"--vanish-after", "1"},
                                                        false,
                                                        true},
                                         // With the user time-out of 3 s the end
                                         // shows once two of the host's
                                         // retransmissions (0.2 s apart at first,
                                         // doubling) are more than 3 s apart:
                                         // after about 6 s.
                                         host_gone_case{"host_vanishes_while_retransmitting",
                                                        {"--vanish-after", "1", "--vanish-sending"},
                                                        false,
                                                        true,
                                                        4500ms}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(e2e_test, library_connection_has_nodelay_and_keepalive) {
  if (windows_bridge())
    GTEST_SKIP() << "the Windows bridge's library gives no socket to tend";
  start_emulator(315);
  client& a = opened_bridge("a");
  connection_options o = application_connection(a.process_id());
  ASSERT_TRUE(o.found) << "no socket of the bridge has keepalive on";
  EXPECT_EQ(o.nodelay, 1);
  EXPECT_EQ(o.idle, 20);
  EXPECT_EQ(o.interval, 5);
  EXPECT_EQ(o.probes, 3);
  EXPECT_EQ(o.user_timeout, 35000);
}

// A frame longer than the library reads frames into would smash its stack
// and abort the bridge.
TEST_F(e2e_test, oversized_frame_from_the_host_leaves_the_bridge_serving) {
  if (windows_bridge() && !windows_library_gives_socket())
    GTEST_SKIP() << "the Windows bridge's library gives no descriptor to look at the frame on";
  start_emulator(320, {"--oversized-after", "1"});
  client& a = opened_bridge("a");
  listen(a, 1, cip_mask_unrestricted_digital);
  message_result got = a.get();
  for (auto until = steady::now() + 5s; got.empty() && steady::now() < until;)
    got = a.get();
  EXPECT_TRUE(got.host_gone()) << got.status.text();
  EXPECT_TRUE(a.get(1000ms).host_gone());
  EXPECT_TRUE(a.profile(1).status.ok());
  capimsg::listen_req none;
  none.controller = 1;
  outcome put = a.put(capimsg::build_listen_req(0, a.next_number(), none));
  EXPECT_EQ(put.from, source::library) << put.text();
  EXPECT_TRUE(a.close().ok());
  ASSERT_TRUE(a.exit());
  EXPECT_TRUE(a.exit()->exited && a.exit()->code == 0);
}

// Part of a frame: the library would block reading the rest (for about 5 s,
// then lose step); Get answers at once and the bridge goes on.
TEST_F(e2e_test, get_never_waits_on_a_frame_that_arrived_in_part) {
  if (windows_bridge() && !windows_library_gives_socket())
    GTEST_SKIP() << "the Windows bridge's library gives no descriptor to look at the frame on";
  start_emulator(325, {"--inject-after=1", "--inject=801400 1400 0000 8082"});
  client& a = listening_after_injection("a");
  for (int i = 0; i < 3; ++i) {
    message_result got = a.get();
    EXPECT_TRUE(got.empty()) << got.status.text();
  }
  EXPECT_TRUE(a.get(300ms).empty());
  EXPECT_TRUE(a.profile(1).status.ok());
  EXPECT_TRUE(a.close().ok());
}

} // namespace
