// SPDX-License-Identifier: MIT
// The client library's own promises: values the bridge makes told from the
// library's, transport failures for every way a bridge can misbehave, and
// where the bridge's standard error goes.
#include "e2e_fixture.hpp"

#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unistd.h>

using namespace capi_bridge;
using namespace toolkit;
namespace cmd = capimsg::command;
namespace sub = capimsg::subcommand;

namespace {

struct value_case {
  std::string name;
  bool registered; // sent by a bridge with an application
  bytes body;
  std::uint32_t info;
};

TEST_F(e2e_test, values_the_bridge_makes_are_told_from_the_librarys) {
  start_emulator(240);
  client& fresh = bridge("fresh");
  client& registered = opened_bridge("registered");
  bytes listen = capimsg::build_listen_req(0, 1, {1, 0, 1, 0, {}});
  bytes listen_too_long = listen;
  capimsg::put_u16(listen_too_long, 0, 200);
  const std::vector<value_case> cases = {
      {"get_before_open", false, {'G'}, 0x1104},
      {"put_before_open", false, with_kind('M', listen), 0x1101},
      {"profile_before_open", false, {'P', 1, 0, 0, 0}, 0x1009},
      {"open_too_short", false, {'O', 1, 2}, 0x1009},
      {"unknown_kind", true, {'X'}, 0x1102},
      {"put_of_7_bytes", true, with_kind('M', bytes(listen.begin(), listen.begin() + 7)), 0x1101},
      {"message_longer_than_the_body", true, with_kind('M', listen_too_long), 0x1102},
      {"data_b3_req_without_data64", true, with_kind('M', data_b3_req(10, 1, false)), 0x1102},
      {"data_b3_req_above_2048_bytes", true, with_kind('M', data_b3_req(2049)), 0x300C},
      {"data_b3_resp_answering_nothing", true,
       with_kind('M', capimsg::build_data_b3_resp(0, 1, {0x10101, 3})), 0x2001},
      {"get_with_nothing_waiting", true, {'G'}, 0x1104},
  };
  for (const value_case& c : cases) {
    SCOPED_TRACE(c.name);
    raw_reply r = (c.registered ? registered : fresh).request(c.body);
    EXPECT_EQ(r.status.from, source::bridge) << r.status.text();
    EXPECT_EQ(r.info, c.info) << r.status.text();
  }
  EXPECT_TRUE(registered.usable());
  EXPECT_TRUE(fresh.usable());
}

// The bridge refuses a Data handle whose DATA_B3_CONF has not been fetched;
// through the real library the refusal is the bridge's, and the handle is
// free again once its confirmation has been fetched.
TEST_F(e2e_test, busy_data_handle_is_the_bridges_until_its_confirmation_is_fetched) {
  start_emulator(245);
  client& a = opened_bridge("a");
  client& b = opened_bridge("b");
  call c = place_call(a, b, "123");
  auto block = [&](std::uint16_t handle) {
    return capimsg::build_data_b3(
        0, a.next_number(), sub::req,
        {c.caller_ncci, handle, 0, std::uint64_t{0}, pattern(handle, 100)});
  };
  put_ok(a, block(4));
  outcome busy = a.put(block(4));
  EXPECT_EQ(busy.from, source::bridge) << busy.text();
  EXPECT_EQ(busy.info, 0x1103u);
  put_ok(a, block(5));
  for (std::uint16_t handle : {std::uint16_t{4}, std::uint16_t{5}}) {
    message_result conf = expect(a, cmd::data_b3, sub::conf);
    EXPECT_EQ(capimsg::read_data_b3_conf(conf.message)->handle, handle);
  }
  put_ok(a, block(4));
  expect(a, cmd::data_b3, sub::conf);
  for (int i = 0; i < 3; ++i) {
    message_result ind = expect(b, cmd::data_b3, sub::ind);
    EXPECT_EQ(ind.b3_data.size(), 100u);
  }
}

// One thread waits for messages while another puts and reads profiles: each
// request's reply reaches the thread that made it, and the waiting Gets,
// ended early by the other thread's requests, hand over every message in
// the host's order.
TEST_F(e2e_test, requests_from_two_threads_each_get_their_own_reply) {
  start_emulator(190);
  client& a = opened_bridge("a");
  constexpr int rounds = 50;
  std::vector<std::uint16_t> confirmed;
  std::thread waiter([&] {
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         confirmed.size() < rounds && std::chrono::steady_clock::now() < until;) {
      message_result got = a.get(std::chrono::milliseconds(5000));
      if (got.status.ok())
        confirmed.push_back(capimsg::read_header(got.message)->message_number);
      else if (!got.empty())
        break;
    }
  });
  std::vector<std::uint16_t> sent;
  for (int i = 0; i < rounds; ++i) {
    sent.push_back(a.next_number());
    EXPECT_TRUE(a.put(capimsg::build_listen_req(0, sent.back(), {1, 0, 1, 0, {}})).ok());
    profile_result p = a.profile(1);
    EXPECT_TRUE(p.status.ok()) << p.status.text();
    EXPECT_EQ(p.value.b_channels, 2);
  }
  waiter.join();
  EXPECT_EQ(confirmed, sent) << "every LISTEN_CONF, in order";
  EXPECT_TRUE(a.usable()) << a.gone_reason();
  EXPECT_TRUE(a.close().ok());
}

// Posted requests: their replies are taken in their turn by whichever
// thread reads next (a waiting thread's next request, or settle()), and a
// waiting Get out when one is posted ends at once. A batch brings every
// message that has come in order.
TEST_F(e2e_test, posted_replies_are_taken_in_turn_and_a_batch_brings_what_came) {
  start_emulator(333);
  client& a = opened_bridge("a");
  ASSERT_TRUE(a.has_batch());
  std::mutex mutex;
  std::vector<std::uint32_t> answers;
  auto note = [&](const raw_reply& r) {
    std::lock_guard lock(mutex);
    answers.push_back(r.info);
  };
  std::vector<std::uint16_t> sent, got;
  auto put_body = [&] {
    sent.push_back(a.next_number());
    bytes body{'M'};
    bytes listen = capimsg::build_listen_req(0, sent.back(), {1, 0, 1, 0, {}});
    body.insert(body.end(), listen.begin(), listen.end());
    return body;
  };
  // A thread waits while nothing can come; the posts end its wait.
  std::thread waiter([&] { EXPECT_TRUE(a.get(std::chrono::milliseconds(20000)).status.ok()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::uint64_t third = 0;
  ASSERT_TRUE(a.post(put_body(), note).ok());
  ASSERT_TRUE(a.post(put_body(), note).ok());
  ASSERT_TRUE(a.post(put_body(), note, &third).ok());
  ASSERT_TRUE(a.settle(third).ok());
  {
    std::lock_guard lock(mutex);
    EXPECT_GE(answers.size(), 2u) << "the replies before the third were taken";
  }
  waiter.join();
  got.push_back(sent[0]); // what the waiter took
  for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       got.size() < sent.size() && std::chrono::steady_clock::now() < until;) {
    for (const message_result& m : a.get_batch(std::chrono::milliseconds(5000))) {
      ASSERT_TRUE(m.status.ok()) << m.status.text();
      got.push_back(capimsg::read_header(m.message)->message_number);
    }
  }
  EXPECT_EQ(got, sent) << "every LISTEN_CONF, in order";
  EXPECT_EQ(answers, (std::vector<std::uint32_t>{0, 0, 0}));
  EXPECT_TRUE(a.close().ok());
}

// A reply hook that throws: the turn still passes on. With the reply read
// whole, the bridge serves on; with a reply of the same write left unread,
// the client stops using the bridge, and later requests fail at once.
TEST_F(e2e_test, a_request_that_throws_holds_up_no_later_request) {
  start_emulator(330);
  client& a = opened_bridge("a");
  auto throws = [](const raw_reply&) { throw std::runtime_error("from the hook"); };
  const std::uint8_t get[] = {'G'};
  EXPECT_THROW(a.request(get, throws), std::runtime_error);
  std::thread other([&] { EXPECT_TRUE(a.profile(1).status.ok()); });
  other.join();
  EXPECT_TRUE(a.usable()) << a.gone_reason();

  EXPECT_THROW(a.requests({bytes{'G'}, bytes{'G'}}, throws), std::runtime_error);
  EXPECT_FALSE(a.usable());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(a.profile(1).status.from, source::transport);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// Threads that wait on an idle application share one waiting Get: none ends
// another's early, so three threads ask hardly more often than one does
// alone (once, from a native bridge; a bridge that ends its waiting Gets
// early by itself makes the one ask more often, and the three no more).
// A thread whose time runs out while another's waiting Get is out asks
// once without waiting, which ends that Get early; on a loaded machine that
// can happen a few dozen times. Threads that each end the other's Get ask
// without end: tens of thousands of times a second.
TEST_F(e2e_test, threads_that_wait_at_once_ask_hardly_more_than_one) {
  start_emulator(332);
  client& a = opened_bridge("a");
  auto requests_while = [&a](int threads) {
    std::uint64_t before = a.counters().requests;
    std::vector<std::thread> waiters;
    for (int i = 0; i < threads; ++i)
      waiters.emplace_back([&a] { EXPECT_TRUE(a.get(std::chrono::milliseconds(1000)).empty()); });
    for (std::thread& t : waiters)
      t.join();
    return a.counters().requests - before;
  };
  std::uint64_t one = requests_while(1);
  std::uint64_t three = requests_while(3);
  EXPECT_LE(three, 2 * one + 100) << "one thread alone asked " << one << " times";
  EXPECT_TRUE(a.close().ok());
}

struct misbehaviour_case {
  std::string name;
  std::vector<std::string> command;
  char request; // 'G' get, 'P' profile, 'O' open, 'C' close
  std::string failure;
  // The reply limit; long where the failure must come from something else.
  std::chrono::milliseconds timeout{10000};
};

void PrintTo(const misbehaviour_case& c, std::ostream* os) {
  *os << c.name;
}

class misbehaving_bridge : public e2e_test,
                           public testing::WithParamInterface<misbehaviour_case> {};

// Stand-ins for the bridge, each failing in one way; `exec sleep` keeps them
// alive, not answering, until the client kills them.
std::vector<std::string> shell(const std::string& script) {
  return {"/bin/sh", "-c", script};
}

TEST_P(misbehaving_bridge, is_a_transport_failure_and_the_client_stops_using_it) {
  if (windows_bridge())
    GTEST_SKIP() << "shell stand-ins, no bridge: nothing differs from the native run";
  const misbehaviour_case& param = GetParam();
  client_options options = bridge_options("stand-in");
  options.command = param.command;
  options.request_timeout = param.timeout;
  client c(options);
  outcome first;
  switch (param.request) {
  case 'P':
    first = c.profile(1).status;
    break;
  case 'O':
    first = c.open("127.0.0.1", 2662, 2).status;
    break;
  case 'C':
    first = c.close();
    break;
  default:
    first = c.get().status;
  }
  EXPECT_EQ(first.from, source::transport) << first.text();
  EXPECT_NE(first.failure.find(param.failure), std::string::npos) << first.failure;
  EXPECT_FALSE(c.usable());
  if (c.process_id() != 0) {
    EXPECT_TRUE(c.exit()) << "the stand-in was ended and reaped";
  }
  outcome next = c.get().status;
  EXPECT_EQ(next.from, source::transport) << next.text();
}

INSTANTIATE_TEST_SUITE_P(
    cases, misbehaving_bridge,
    testing::Values(
        misbehaviour_case{"exits_at_once", shell("exit 3"), 'G',
                          "the bridge ended with exit status 3"},
        misbehaviour_case{"never_answers", shell("exec sleep 30"), 'G', "no reply within 300 ms",
                          std::chrono::milliseconds(300)},
        misbehaviour_case{"length_field_with_byte_3_set",
                          shell(R"(printf '\004\000\000\001\000\000\000\000'; exec sleep 30)"), 'G',
                          "malformed reply, length field 0x1000004"},
        misbehaviour_case{"profile_of_3_bytes",
                          shell(R"(printf '\007\000\000\000\000\000\000\000abc'; exec sleep 30)"),
                          'P', "3 data bytes where 64 belong"},
        misbehaviour_case{
            "data_after_a_message_that_is_no_data_b3_ind",
            shell(
                R"(printf '\024\000\000\000\000\000\000\000\014\000\001\000\002\201\001\000\000\000\000\000abcd'; exec sleep 30)"),
            'G', "4 bytes after a message that is no DATA_B3_IND"},
        misbehaviour_case{
            "reply_cut_short",
            shell(R"(head -c 5 >/dev/null; printf '\020\000\000\000\000\000'; exit 0)"), 'G',
            "the bridge ended with exit status 0 while reading the reply"},
        misbehaviour_case{"cannot_be_started", {"/nonexistent/capi-bridge"}, 'G', "cannot start"},
        // Open replies that contradict themselves, after the answers to the
        // probes for the waiting Get and the batch.
        misbehaviour_case{
            "open_info_0_with_stage_7",
            shell(R"(printf '\004\000\000\000\004\021\000\000\004\000\000\000\004\021\000\000)"
                  R"(\011\000\000\000\000\000\000\000\005\000\000\000\007'; exec sleep 30)"),
            'O', "malformed reply: stage 7 with info 0x0000"},
        misbehaviour_case{
            "open_info_0_with_stage_2",
            shell(R"(printf '\004\000\000\000\004\021\000\000\004\000\000\000\004\021\000\000)"
                  R"(\011\000\000\000\000\000\000\000\005\000\000\000\002'; exec sleep 30)"),
            'O', "malformed reply: stage 2 with info 0x0000"},
        misbehaviour_case{
            "open_failure_with_stage_0",
            shell(R"(printf '\004\000\000\000\004\021\000\000\004\000\000\000\004\021\000\000)"
                  R"(\011\000\000\000\010\020\000\000\005\000\000\000\000'; exec sleep 30)"),
            'O', "malformed reply: stage 0 with info 0x1008"},
        misbehaviour_case{
            "open_registered_as_application_0",
            shell(R"(printf '\004\000\000\000\004\021\000\000\004\000\000\000\004\021\000\000)"
                  R"(\011\000\000\000\000\000\000\000\000\000\000\000\000'; exec sleep 30)"),
            'O', "malformed reply: stage 0 with application 0"},
        misbehaviour_case{
            "close_then_exit_status_3",
            shell(R"(head -c 5 >/dev/null; printf '\004\000\000\000\000\000\000\000'; exit 3)"),
            'C', "Close: the bridge ended with exit status 3"}),
    [](const auto& row) { return row.param.name; });

TEST_F(e2e_test, library_lines_go_to_the_stderr_file_when_the_trace_level_is_not_0) {
  start_emulator(250);
  // A .capi20rc without TRACELEVEL leaves the library at its default, all on.
  std::filesystem::create_directory(path("loud"));
  std::ofstream(path("loud/.capi20rc")) << "# no trace level\n";
  client_options options = bridge_options("loud");
  options.environment = {{"HOME", path("loud")}};
  stderr_allowed.push_back("loud");
  {
    client a(options);
    ASSERT_TRUE(a.open("127.0.0.1", emulator.port(), 2).status.ok());
    EXPECT_TRUE(a.close().ok());
  }
  std::string lines = read("loud.stderr");
  EXPECT_NE(lines.find("fritzbox"), std::string::npos) << lines;
}

TEST_F(e2e_test, stderr_is_discarded_when_no_file_is_given) {
  start_emulator(260);
  std::filesystem::create_directory(path("loud"));
  std::ofstream(path("loud/.capi20rc")) << "# no trace level\n";
  client_options options = bridge_options("quiet");
  options.environment = {{"HOME", path("loud")}};
  options.stderr_path.clear();
  client a(options);
  char target[256] = {};
  std::string fd2 = "/proc/" + std::to_string(a.process_id()) + "/fd/2";
  ASSERT_GT(::readlink(fd2.c_str(), target, sizeof target - 1), 0);
  EXPECT_STREQ(target, "/dev/null");
  // The library's lines go nowhere and hold nothing up.
  ASSERT_TRUE(a.open("127.0.0.1", emulator.port(), 2).status.ok());
  EXPECT_TRUE(a.profile(1).status.ok());
  EXPECT_TRUE(a.close().ok());
}

// A bridge from before the waiting Get answers "W" as an unknown kind: the
// client asks once and polls with Get from then on.
TEST_F(e2e_test, waiting_get_falls_back_to_polling_with_an_older_bridge) {
  client_options options = bridge_options("older");
  options.command = {"python3", OLDER_BRIDGE, path("kinds")};
  client older(options);
  ASSERT_TRUE(older.open("127.0.0.1", 2662, 1).status.ok());
  message_result got = older.get(std::chrono::milliseconds(5000));
  ASSERT_TRUE(got.status.ok()) << got.status.text();
  EXPECT_EQ(capimsg::read_header(got.message)->command, capimsg::command::listen);
  EXPECT_TRUE(older.get(std::chrono::milliseconds(20)).empty());
  std::string kinds = read("kinds");
  EXPECT_EQ(kinds.substr(0, 6), "WBOGGG");
  EXPECT_EQ(kinds.find('W', 2), std::string::npos) << kinds;
}

// The batch, too, asked once in open(): an older bridge's 0x1102 makes
// get_batch() one message of get(wait), which polls with Get.
TEST_F(e2e_test, batch_falls_back_to_one_message_with_an_older_bridge) {
  client_options options = bridge_options("older");
  options.command = {"python3", OLDER_BRIDGE, path("kinds")};
  client older(options);
  ASSERT_TRUE(older.open("127.0.0.1", 2662, 1).status.ok());
  EXPECT_FALSE(older.has_batch());
  std::vector<message_result> got = older.get_batch(std::chrono::milliseconds(5000));
  ASSERT_EQ(got.size(), 1u);
  ASSERT_TRUE(got[0].status.ok()) << got[0].status.text();
  EXPECT_EQ(capimsg::read_header(got[0].message)->command, capimsg::command::listen);
  EXPECT_EQ(read("kinds"), "WBOGGG");
}

// Against a bridge without R and I: installed() cannot ask, and open()
// registers the bridge's own 7 blocks of 2048 bytes and says so.
TEST_F(e2e_test, older_bridge_registers_its_own_blocks_and_cannot_ask_installed) {
  client_options options = bridge_options("older");
  options.command = {"python3", OLDER_BRIDGE, path("kinds")};
  client older(options);
  EXPECT_FALSE(older.installed("127.0.0.1", 2662));
  open_result r = older.open("127.0.0.1", 2662, 1, {3, 128});
  ASSERT_TRUE(r.status.ok()) << r.status.text();
  EXPECT_EQ(r.registered, registration{});
  EXPECT_EQ(read("kinds").substr(0, 5), "IRWBO");
}

} // namespace
