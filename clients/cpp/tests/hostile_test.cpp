// SPDX-License-Identifier: MIT
// A careless or hostile world around a bridge, through the real library:
// standard streams closed at start, messages longer than the library can
// send, a host whose length fields lie, signals, and a client that dies
// while its bridge waits inside the library.
#include "e2e_fixture.hpp"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>

using namespace capi_bridge;
using namespace toolkit;
namespace cmd = capimsg::command;
namespace sub = capimsg::subcommand;
using namespace std::chrono_literals;

namespace {

// Waits up to `wait` for `pid`, a child of this process, to end; kills it
// when it does not, and returns nullopt then.
std::optional<exit_status> wait_for(long pid, std::chrono::milliseconds wait) {
  auto until = std::chrono::steady_clock::now() + wait;
  int status = 0;
  while (::waitpid(static_cast<pid_t>(pid), &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= until) {
      ::kill(static_cast<pid_t>(pid), SIGKILL);
      ::waitpid(static_cast<pid_t>(pid), &status, 0);
      return std::nullopt;
    }
    std::this_thread::sleep_for(10ms);
  }
  exit_status e;
  e.exited = WIFEXITED(status);
  e.code = e.exited ? WEXITSTATUS(status) : -1;
  e.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return e;
}

struct closed_stream_case {
  const char* name;
  const char* closing; // the shell redirection that closes the stream
};
void PrintTo(const closed_stream_case& c, std::ostream* os) {
  *os << c.name;
}

class closed_stream : public e2e_test, public testing::WithParamInterface<closed_stream_case> {};

// The library opens its machine-wide table of application IDs as a
// descriptor. Were that descriptor to take the number of a closed standard
// stream, the library's debug lines (standard error) or the bridge's replies
// (standard output) would be written into the table, and another process's
// application would be refused from then on.
TEST_P(closed_stream, never_becomes_the_library_id_table) {
  if (windows_bridge())
    GTEST_SKIP() << "closes Unix descriptors before the program starts: under Wine they are "
                    "Wine's, not the Windows bridge's standard handles";
  if (!private_id_table())
    GTEST_SKIP() << no_private_id_table;
  start_emulator(1);
  client& other = opened_bridge("other");
  ASSERT_EQ(other.appl_id(), 1u);
  listen(other, 1, cip_mask_unrestricted_digital);

  // The library's debug lines on, so that standard error gets written.
  std::filesystem::create_directory(path("loud"));
  std::ofstream(path("loud/.capi20rc")) << "# no trace level: every debug line\n";
  child_process bridge;
  process_options options;
  options.command = {"sh", "-c", std::string("exec \"$0\" ") + GetParam().closing,
                     bridge_executable()};
  options.environment = {{"HOME", path("loud")}};
  ASSERT_TRUE(bridge.start(options)) << bridge.error();
  bytes requests = open_frame(emulator.port());
  for (int i = 0; i <= 20; ++i) {
    bytes next = frame({i < 20 ? std::uint8_t{'G'} : std::uint8_t{'C'}});
    requests.insert(requests.end(), next.begin(), next.end());
  }
  ASSERT_EQ(bridge.write(requests.data(), requests.size(), after(5s)), io_result::done);
  auto ended = bridge.wait(after(10s));
  ASSERT_TRUE(ended) << "the bridge did not end";
  EXPECT_TRUE(ended->exited && ended->code == 0);
  ASSERT_TRUE(emulator.wait_for_log("appl=2 release"));

  EXPECT_EQ(ids_in_use(), std::vector<unsigned>{1});
  listen(other, 1, cip_mask_unrestricted_digital);
}

INSTANTIATE_TEST_SUITE_P(hostile, closed_stream,
                         testing::Values(closed_stream_case{"standard_error", "2>&-"},
                                         closed_stream_case{"standard_output", ">&-"},
                                         closed_stream_case{"both", ">&- 2>&-"}),
                         [](const auto& row) { return std::string(row.param.name); });

// Debian's library copies at most 2173 bytes of a message, a DATA_B3_REQ's
// data included, and sends stack memory for the rest with success reported.
TEST_F(e2e_test, messages_beyond_what_the_library_sends_are_refused_and_the_longest_arrive_whole) {
  start_emulator(265);
  client& a = opened_bridge("a");
  client& b = opened_bridge("b");
  call c = place_call(a, b, "123");

  bytes facility(3000, 0);
  capimsg::put_u16(facility, 0, 3000);
  facility[4] = cmd::facility;
  facility[5] = sub::req;
  facility[8] = 1;
  outcome refused = a.put(facility);
  EXPECT_EQ(refused.from, source::bridge) << refused.text();
  EXPECT_EQ(refused.info, 0x1102u);

  // A DATA_B3_REQ of 125 bytes and 2,048 of data: 2,173 in all.
  const bytes block = pattern(3, 2048);
  auto longest = [&](std::size_t length, std::uint16_t handle) {
    bytes m = capimsg::build_data_b3(0, a.next_number(), sub::req,
                                     {c.caller_ncci, handle, 0, std::uint64_t{0}, {}});
    m.resize(length, 0);
    capimsg::put_u16(m, 0, static_cast<std::uint16_t>(length));
    capimsg::put_u16(m, 16, static_cast<std::uint16_t>(block.size()));
    return m;
  };
  refused = a.put(longest(126, 1), block);
  EXPECT_EQ(refused.from, source::bridge) << refused.text();
  EXPECT_EQ(refused.info, 0x1102u);
  put_ok(a, longest(125, 2), block);
  message_result got = expect(b, cmd::data_b3, sub::ind);
  EXPECT_TRUE(got.b3_data == block) << "the block arrived changed";
  auto ind = capimsg::read_data_b3(got.message);
  ASSERT_TRUE(ind);
  put_ok(b, capimsg::build_data_b3_resp(0, b.next_number(), {c.callee_ncci, ind->fields.handle}));
  message_result conf = expect(a, cmd::data_b3, sub::conf);
  EXPECT_EQ(capimsg::read_data_b3_conf(conf.message)->info, 0);
  EXPECT_EQ(emulator.log().find("FACILITY_REQ"), std::string::npos)
      << "a refused message reached the host";
}

// A host may send anything. Whatever its length fields claim, the client
// gets no byte the library did not receive for that message.
TEST_F(e2e_test, host_length_fields_never_reach_past_what_the_library_received) {
  const std::string lying_message = "801400" // frame of 20 bytes
                                    "ffff 0000 8082 0100 01000000 0000000000000000";
  const std::string lying_data = "802800" // frame of 40 bytes
                                 "1e00 0000 8682 0200 01010100 00000000 ffff 0700 0000"
                                 "0000000000000000"
                                 "30313233343536373839";
  start_emulator(270, {"--inject-after=1", "--inject=" + lying_message + lying_data});
  client& a = opened_bridge("a");
  listen(a, 1, cip_mask_unrestricted_digital);

  message_result got = a.get(2000ms);
  EXPECT_EQ(got.status.from, source::bridge) << got.status.text();
  EXPECT_EQ(got.status.info, 0x1102u);
  EXPECT_TRUE(got.message.empty());

  got = expect(a, cmd::data_b3, sub::ind, 2000ms);
  EXPECT_EQ(got.message.size(), 30u);
  EXPECT_EQ(capimsg::get_u16(got.message, 16), 0xffff) << "the Data length as the host sent it";
  EXPECT_TRUE(got.b3_data.empty()) << got.b3_data.size() << " bytes handed out";
  // The indication is the client's to answer, and the bridge goes on.
  auto ind = capimsg::read_data_b3(got.message);
  ASSERT_TRUE(ind);
  put_ok(a, capimsg::build_data_b3_resp(0, a.next_number(), {0x010101, ind->fields.handle}));
  EXPECT_TRUE(a.profile(1).status.ok());
  EXPECT_TRUE(a.close().ok());
}

constexpr const char* no_terminate_on_windows =
    "Windows has no SIGTERM, and the Windows bridge no stop request: under Wine, SIGTERM ends "
    "the process with the application unreleased";

// Ctrl-C and a terminal's hang-up are for the program that owns the
// terminal; a bridge ends with its input.
TEST_F(e2e_test, interrupt_and_hang_up_leave_the_bridge_serving) {
  start_emulator(275);
  client& a = opened_bridge("a");
  // Wine turns SIGINT into a Windows program's Ctrl-C; SIGHUP, which Windows
  // does not have, would just end Wine's process.
  const std::vector<int> signals = windows_bridge()
                                       ? std::vector<int>{SIGINT, SIGINT}
                                       : std::vector<int>{SIGINT, SIGHUP, SIGINT, SIGHUP};
  for (int signal : signals)
    ASSERT_EQ(::kill(static_cast<pid_t>(a.process_id()), signal), 0);
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(a.profile(1).status.ok());
  listen(a, 1, cip_mask_unrestricted_digital);
  EXPECT_TRUE(a.close().ok());
  EXPECT_TRUE(emulator.wait_for_log("release"));
}

TEST_F(e2e_test, terminate_releases_the_application_and_ends_with_status_0) {
  if (windows_bridge())
    GTEST_SKIP() << no_terminate_on_windows;
  start_emulator(280);
  client& a = opened_bridge("a");
  ASSERT_EQ(::kill(static_cast<pid_t>(a.process_id()), SIGTERM), 0);
  auto ended = wait_for(a.process_id(), 5000ms);
  ASSERT_TRUE(ended) << "the bridge still ran";
  EXPECT_TRUE(ended->exited) << "signal " << ended->signal;
  EXPECT_EQ(ended->code, 0);
  EXPECT_TRUE(emulator.wait_for_log("appl=280 release"));
}

// The library waits for a register reply without a time limit; SIGTERM
// still ends the bridge.
TEST_F(e2e_test, terminate_reaches_a_bridge_waiting_inside_the_library) {
  if (windows_bridge())
    GTEST_SKIP() << no_terminate_on_windows;
  start_emulator(285, {"--silent-register"});
  client a(bridge_options("a"));
  std::thread terminator([&] {
    if (emulator.wait_for_log("not answered (--silent-register)"))
      ::kill(static_cast<pid_t>(a.process_id()), SIGTERM);
  });
  open_result opened = a.open("127.0.0.1", emulator.port(), 2);
  terminator.join();
  EXPECT_EQ(opened.status.from, source::library) << opened.status.text();
  EXPECT_EQ(opened.stage, open_stage::register_failed);
  auto ended = wait_for(a.process_id(), 5000ms);
  ASSERT_TRUE(ended) << "the bridge still ran";
  EXPECT_TRUE(ended->exited && ended->code == 0);
}

// A client that dies while its bridge waits inside the library (here for a
// register reply that never comes) leaves the bridge's input open when
// another process holds it; the bridge ends all the same.
TEST_F(e2e_test, bridge_ends_soon_after_its_client_dies_while_it_waits_in_the_library) {
  if (windows_bridge())
    GTEST_SKIP() << "the Windows bridge does not watch its parent: Windows has no parent-death "
                    "signal, and the client ends a Windows bridge through a kill-on-close job";
  start_emulator(290, {"--silent-register"});
  // The orphaned bridge comes to this process, which can then reap it.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  child_process client_process;
  process_options options;
  options.command = {"sh", "-c", "exec 3<&0; \"$0\" <&3 >/dev/null & echo $!; wait",
                     bridge_executable()};
  options.environment = {{"HOME", folder}};
  options.stderr_path = path("a.stderr");
  ASSERT_TRUE(client_process.start(options)) << client_process.error();
  std::string line;
  ASSERT_EQ(client_process.read_line(line, after(5s)), io_result::done);
  const long bridge = std::stol(line);
  bytes open = open_frame(emulator.port());
  ASSERT_EQ(client_process.write(open.data(), open.size(), after(5s)), io_result::done);
  ASSERT_TRUE(emulator.wait_for_log("not answered (--silent-register)"));

  // The client dies; the bridge's input stays open (this process holds it).
  ::kill(static_cast<pid_t>(client_process.id()), SIGKILL);
  ASSERT_TRUE(client_process.wait(after(5s)));
  auto ended = wait_for(bridge, 10000ms);
  ASSERT_TRUE(ended) << "the orphaned bridge still ran after 10 s";
  EXPECT_TRUE(ended->exited && ended->code == 0) << "signal " << ended->signal;
}

} // namespace
