// SPDX-License-Identifier: MIT
// A host that breaks the driver's framing or hands out what it should not,
// through the real library: frames too short for a message or cut off,
// application ID 0, a restart that hands an ID out again, a vanishing host
// that still retransmits.
#include "e2e_fixture.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace capi_bridge;
using namespace toolkit;
namespace cmd = capimsg::command;
namespace sub = capimsg::subcommand;
using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

namespace {

bytes from_hex(std::string text) {
  std::erase(text, ' ');
  bytes out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  return out;
}

// A LISTEN_CONF of 14 bytes with message number 7, framed as the host sends
// it: the message a test expects once the bad frame before it is dealt with.
const std::string listen_conf_7 = "800e00 0e00 0000 0581 0700 01000000 0000";

// The message a frame carries, from its command on: the library writes the
// application's ID into the ApplID field before it hands a message out.
bytes message_of(const std::string& frame) {
  bytes framed = from_hex(frame);
  return bytes(framed.begin() + 3 + 4, framed.end());
}

bytes without_appl_id(const bytes& message) {
  return message.size() < 4 ? message : bytes(message.begin() + 4, message.end());
}

// The bridge's voluntary context switches so far: one for every time it
// went to sleep, in a wait or a system call that had to wait.
long sleeps_of(long pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.starts_with("voluntary_ctxt_switches:"))
      return std::stol(line.substr(line.find(':') + 1));
  return -1;
}

// A host of the test's own, for frames the emulator cannot cut where they
// must be cut: it accepts the library's connections, answers its register
// request with `appl_id` and its profile requests with zeros, and leaves the
// rest to the test.
class scripted_host {
public:
  explicit scripted_host(std::uint16_t appl_id) : appl_id_(appl_id) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
      throw std::runtime_error("scripted host: cannot listen");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~scripted_host() {
    stop_ = true;
    thread_.join();
    for (int fd : connections_)
      ::close(fd);
    ::close(listener_);
  }
  scripted_host(const scripted_host&) = delete;
  scripted_host& operator=(const scripted_host&) = delete;

  std::uint16_t port() const { return port_; }
  // Writes `bytes` on the application's connection, as they are.
  void send(const bytes& data) {
    std::lock_guard lock(mutex_);
    ASSERT_GE(application_, 0) << "no application has registered";
    ASSERT_EQ(::send(application_, data.data(), data.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(data.size()));
  }

private:
  void serve() {
    while (!stop_) {
      std::vector<pollfd> watched{{listener_, POLLIN, 0}};
      {
        std::lock_guard lock(mutex_);
        for (int fd : connections_)
          watched.push_back({fd, POLLIN, 0});
      }
      if (::poll(watched.data(), watched.size(), 50) <= 0)
        continue;
      if ((watched[0].revents & POLLIN) != 0) {
        std::lock_guard lock(mutex_);
        connections_.push_back(::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC));
      }
      for (std::size_t i = 1; i < watched.size(); ++i)
        if (watched[i].revents != 0)
          answer(watched[i].fd);
    }
  }

  // The library's own requests arrive whole; everything else is ignored.
  void answer(int fd) {
    std::uint8_t request[4096];
    ssize_t got = ::recv(fd, request, sizeof request, 0);
    if (got < 14 || request[7] != 0x20 || request[8] != 0x80)
      return;
    std::lock_guard lock(mutex_);
    bytes reply{0x80, 0x12, 0x12, 0x00, 0x00, 0x00, 0x20, 0x81, 0x01, 0x00};
    reply.resize(2 + 18, 0);
    if (request[13] == 0x09) {
      application_ = fd;
      capimsg::put_u16(reply, 4, appl_id_);
    } else if (request[13] == 0x05) {
      reply[1] = 0x52;
      reply[4] = 0;
      reply.resize(2 + 18 + 64, 0);
    } else {
      return;
    }
    ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
  }

  std::uint16_t appl_id_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<int> connections_;
  int application_ = -1;
};

constexpr const char* no_socket_under_wine =
    "the Windows bridge's library gives no socket to look at the frames on";

struct bad_frame_case {
  const char* name;
  const char* frame;
};
void PrintTo(const bad_frame_case& c, std::ostream* os) {
  *os << c.name;
}

class bad_frame : public e2e_test, public testing::WithParamInterface<bad_frame_case> {};

// A frame the library would block on (length 0: it reads 0 bytes, and waits
// for a byte to do so) or hand out as a message it is not (shorter than a
// header, or shorter than its own length field says) is taken off the
// connection: Get answers 0x1102 at once, the next message comes whole, and
// the bridge goes on.
TEST_P(bad_frame, is_dropped_and_the_bridge_goes_on) {
  if (windows_bridge() && !windows_library_gives_socket())
    GTEST_SKIP() << no_socket_under_wine;
  start_emulator(
      330, {"--inject-after=1", "--inject=" + std::string(GetParam().frame) + " " + listen_conf_7});
  client& a = listening_after_injection("a");
  message_result got = a.get();
  EXPECT_EQ(got.status.from, source::bridge) << got.status.text();
  EXPECT_EQ(got.status.info, 0x1102u);
  got = a.get(2000ms);
  ASSERT_TRUE(got.status.ok()) << got.status.text();
  EXPECT_EQ(without_appl_id(got.message), message_of(listen_conf_7)) << "the next message, whole";
  EXPECT_TRUE(a.get().empty());
  EXPECT_TRUE(a.profile(1).status.ok());
  EXPECT_TRUE(a.close().ok());
}

INSTANTIATE_TEST_SUITE_P(
    hostile_host, bad_frame,
    testing::Values(bad_frame_case{"frame_of_length_0", "800000"},
                    bad_frame_case{"frame_of_4_bytes", "800400 04000000"},
                    bad_frame_case{"message_length_0", "800e00 0000 0000 0581 0100 01000000 0000"},
                    bad_frame_case{"message_length_4", "800e00 0400 0000 0581 0100 01000000 0000"},
                    bad_frame_case{"message_length_7", "800e00 0700 0000 0581 0100 01000000 0000"},
                    bad_frame_case{"message_longer_than_its_frame",
                                   "800e00 1400 0000 0581 0100 01000000 0000"}),
    [](const auto& row) { return std::string(row.param.name); });

// Part of a frame, then the host closes: the rest will never come, and the
// connection has ended, as after a clean close.
TEST_F(e2e_test, frame_cut_off_by_the_hosts_close_is_the_end_of_the_connection) {
  if (windows_bridge())
    GTEST_SKIP() << "on Windows the bridge cannot see a host's close behind bytes it has not "
                    "read (and the forwarding DLL gives no socket at all)";
  start_emulator(335, {"--inject-after=1", "--inject=801400 1400 0000 8082", "--drop-after=1"});
  client& a = opened_bridge("a");
  listen(a, 1, cip_mask_unrestricted_digital);
  ASSERT_TRUE(emulator.wait_for_log("connections after 1 CAPI messages"));
  message_result got = a.get(20000ms);
  EXPECT_TRUE(got.host_gone()) << got.status.text();
  EXPECT_TRUE(a.get().host_gone()) << "and Get says so too";
  outcome put = a.put(capimsg::build_listen_req(0, a.next_number(), {1, 0, 0, 0, {}}));
  EXPECT_EQ(put.info, 0x1108u) << put.text();
  EXPECT_TRUE(a.close().ok());
}

// While a live host holds back the rest of a frame, a waiting Get sleeps
// until the frame is whole; then the frame, and the frames after it, come
// as usual.
TEST_F(e2e_test, waiting_for_the_rest_of_a_frame_costs_nothing) {
  if (windows_bridge())
    GTEST_SKIP() << "the Windows bridge waits in slices: its standard input cannot be waited "
                    "on together with a socket";
  scripted_host host(340);
  client& a = bridge("a");
  ASSERT_TRUE(a.open("127.0.0.1", host.port(), 2).status.ok());

  // A CONNECT_IND of 40 bytes, sent in two parts.
  bytes connect_ind = from_hex("802800 2800 0100 0282 0100 01010000 1000 00");
  connect_ind.resize(3 + 40, 0);
  host.send(bytes(connect_ind.begin(), connect_ind.begin() + 20));
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(a.get().empty()) << "part of a frame is no message yet";
  long before = sleeps_of(a.process_id());
  EXPECT_TRUE(a.get(1000ms).empty());
  long sleeps = sleeps_of(a.process_id()) - before;
  EXPECT_LT(sleeps, 20) << "the waiting Get woke " << sleeps << " times in 1 s";

  std::thread rest([&] {
    std::this_thread::sleep_for(200ms);
    host.send(bytes(connect_ind.begin() + 20, connect_ind.end()));
  });
  message_result got = a.get(5000ms);
  rest.join();
  ASSERT_TRUE(got.status.ok()) << got.status.text();
  EXPECT_EQ(got.message.size(), 40u);
  EXPECT_EQ(got.message[4], cmd::connect);
  // A frame shorter than the one awaited before wakes the wait too.
  host.send(from_hex(listen_conf_7));
  got = a.get(2000ms);
  ASSERT_TRUE(got.status.ok()) << got.status.text();
  EXPECT_EQ(without_appl_id(got.message), message_of(listen_conf_7));
  EXPECT_TRUE(a.close().ok());
}

// The library takes application ID 0 from a host and then refuses it in
// every call, its release included: Open says the registration failed.
TEST_F(e2e_test, application_id_0_from_the_host_is_a_failed_registration) {
  start_emulator(0);
  client& a = bridge("a");
  open_result opened = a.open("127.0.0.1", emulator.port(), 2);
  EXPECT_EQ(opened.stage, open_stage::register_failed);
  EXPECT_EQ(opened.status.info, 0x1008u) << opened.status.text();
  EXPECT_EQ(opened.appl_id, 0u);
  auto start = steady::now();
  EXPECT_TRUE(a.get(2000ms).empty());
  EXPECT_LT(steady::now() - start, 1000ms) << "nothing to wait for without an application";

  // While ID 0 is taken, the host's next application gets ID 1 and works.
  if (private_id_table()) {
    client& b = opened_bridge("b");
    EXPECT_EQ(b.appl_id(), 1u);
    listen(b, 1, cip_mask_unrestricted_digital);
    EXPECT_TRUE(b.close().ok());
  }
  EXPECT_TRUE(a.close().ok());
}

std::string table_line(const char* step) {
  auto ids = ids_in_use();
  std::ostringstream line;
  line << step << ": IDs in use";
  for (unsigned id : ids.value_or(std::vector<unsigned>{}))
    line << ' ' << id;
  return line.str();
}

// Two applications see their host restart. Q recovers first and gets P's
// old ID from the restarted host; P's Close must not free that ID in the
// library's machine-wide table, or Q's application stops working.
TEST_F(e2e_test, a_host_restart_leaves_the_id_it_hands_out_again_to_its_new_owner) {
  if (!private_id_table())
    GTEST_SKIP() << no_private_id_table;
  start_emulator(1);
  const std::uint16_t port = emulator.port();
  client& p = opened_bridge("p");
  client& q = opened_bridge("q");
  ASSERT_EQ(p.appl_id(), 1u);
  ASSERT_EQ(q.appl_id(), 2u);
  std::vector<std::string> steps{table_line("P and Q registered")};

  ASSERT_TRUE(emulator.stop());
  start_emulator(1, {"--port=" + std::to_string(port)});
  ASSERT_EQ(emulator.port(), port);
  EXPECT_TRUE(p.get(5000ms).host_gone());
  EXPECT_TRUE(q.get(5000ms).host_gone());
  steps.push_back(table_line("host restarted, both told"));
  EXPECT_TRUE(q.close().ok());
  steps.push_back(table_line("Q closed"));
  client& q2 = opened_bridge("q2");
  EXPECT_EQ(q2.appl_id(), 1u) << "the restarted host hands out ID 1 again";
  steps.push_back(table_line("Q registered again"));
  EXPECT_TRUE(p.close().ok());
  steps.push_back(table_line("P closed"));

  listen(q2, 1, cip_mask_unrestricted_digital);
  EXPECT_TRUE(q2.close().ok());
  steps.push_back(table_line("Q closed again"));
  for (const std::string& step : steps)
    std::cout << step << "\n";
  EXPECT_EQ(ids_in_use(), (std::vector<unsigned>{2}))
      << "only Q's first ID, which no release could free safely, stays marked";
}

} // namespace
