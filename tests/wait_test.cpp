// SPDX-License-Identifier: MIT
// The waiting Get against the stand-in library: when it answers (a message
// waiting, one that comes during the wait, its time-out, the client's next
// request), what it answers (as Get, and 0x1108 where the library says ready
// and has nothing), with and without the library's capi20_fileno.
#include "support/bridge_fixture.hpp"
#include "support/messages.hpp"

#include <chrono>

namespace {

using steady = std::chrono::steady_clock;

// The longest wait the bridge takes (tests/protocol_numbers.py holds it to
// the bridge's).
constexpr std::uint32_t longest_wait = 60000;

bytes wait_request(std::uint32_t milliseconds) {
  return frame(bytes{'W'} + le32(milliseconds));
}

// Each test runs once against the full stand-in, and natively once more
// against one without capi20_fileno, where the bridge waits in slices.
class wait_test : public bridge_test, public ::testing::WithParamInterface<const char*> {
protected:
  void SetUp() override {
    bridge_test::SetUp();
    windows_pipes = true;
    if (std::string(GetParam()) != "full" && testing_windows_build())
      GTEST_SKIP() << "the Windows stand-in has no capi20_fileno in the first place";
  }
  std::unique_ptr<bridge_process> opened(const std::string& script_text = "") {
    script(script_text);
    auto bridge = start(GetParam());
    EXPECT_TRUE(bridge->write(open_request(1, 1, "h")));
    EXPECT_TRUE(replies(*bridge, 0, registered_1));
    return bridge;
  }
};

TEST_P(wait_test, hands_out_a_waiting_message_at_once) {
  auto bridge = opened("message " + to_hex(listen_conf) + "\n");
  auto start = steady::now();
  ASSERT_TRUE(bridge->write(wait_request(longest_wait)));
  EXPECT_TRUE(replies(*bridge, 0, listen_conf));
  EXPECT_LT(steady::now() - start, std::chrono::seconds(30));
}

TEST_P(wait_test, waits_for_a_message_that_comes_during_the_wait) {
  auto bridge = opened("message " + to_hex(listen_conf) + " after 300\n");
  auto start = steady::now();
  ASSERT_TRUE(bridge->write(wait_request(20000)));
  EXPECT_TRUE(replies(*bridge, 0, listen_conf));
  auto waited = steady::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(250)) << "answered before the message was there";
  EXPECT_LT(waited, std::chrono::seconds(15)) << "the wait ran to its time-out";
}

TEST_P(wait_test, answers_queue_empty_when_its_time_out_passes) {
  auto bridge = opened();
  for (std::uint32_t milliseconds : {0u, 200u}) {
    auto start = steady::now();
    ASSERT_TRUE(bridge->write(wait_request(milliseconds)));
    EXPECT_TRUE(replies(*bridge, 0x1104));
    EXPECT_GE(steady::now() - start, std::chrono::milliseconds(milliseconds) * 3 / 4);
  }
  // And the next request is served as usual.
  ASSERT_TRUE(bridge->write(frame("G")));
  EXPECT_TRUE(replies(*bridge, 0x1104));
}

TEST_P(wait_test, next_request_ends_the_wait) {
  auto bridge = opened();
  // Written ahead, in the same write: the wait never starts.
  auto start = steady::now();
  ASSERT_TRUE(bridge->write(wait_request(longest_wait) + frame("A")));
  EXPECT_TRUE(replies(*bridge, 0x1104));
  EXPECT_TRUE(replies(*bridge, 0x1102));
  // Written during the wait.
  ASSERT_TRUE(bridge->write(wait_request(longest_wait)));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(bridge->write(profile_request(1)));
  EXPECT_TRUE(replies(*bridge, 0x1104));
  auto profile = bridge->read_reply();
  ASSERT_TRUE(profile);
  EXPECT_EQ(profile->info, 0u);
  EXPECT_EQ(profile->body.size(), 64u);
  EXPECT_LT(steady::now() - start, std::chrono::seconds(30));
}

TEST_P(wait_test, short_body_and_no_application) {
  auto bridge = start(GetParam());
  ASSERT_TRUE(bridge->write(frame("W") + frame(bytes{'W', 1, 0, 0}) + wait_request(longest_wait)));
  EXPECT_TRUE(replies(*bridge, 0x1102));
  EXPECT_TRUE(replies(*bridge, 0x1102));
  EXPECT_TRUE(replies(*bridge, 0x1104)) << "before Open, at once";
  EXPECT_EQ(calls(), lines{});
}

// Debian's library says "ready" at the end of its connection and then has
// nothing to give: W says the host has gone, and from then on every Get, W
// and Put says so without asking the library. Close then releases nothing:
// the host may have given the ID to another application already.
TEST_P(wait_test, ready_without_a_message_is_host_gone) {
  auto bridge = opened("waitformessage 0\nget_message 0x1104\n");
  ASSERT_TRUE(bridge->write(wait_request(5000) + wait_request(5000) + frame("G") +
                            put_request(listen_req) + frame("C")));
  EXPECT_TRUE(replies(*bridge, 0x1108));
  EXPECT_TRUE(replies(*bridge, 0x1108));
  EXPECT_TRUE(replies(*bridge, 0x1108));
  EXPECT_TRUE(replies(*bridge, 0x1108));
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_EQ(bridge->wait().status, 0);
  EXPECT_EQ(calls("capi20_get_message").size(), 1u);
  EXPECT_EQ(calls("capi20_put_message"), lines{});
  EXPECT_EQ(calls("capi20_release"), lines{});
}

// Everything Get does with what it hands out, W does too: the data of a
// DATA_B3_IND appended and the indication noted for its DATA_B3_RESP, the
// payload copy of a DATA_B3_CONF's handle released.
TEST_P(wait_test, keeps_the_books_as_get_does) {
  bytes data = counting(100);
  auto bridge = opened("message " + to_hex(data_b3_ind(100)) + " data " + to_hex(data) +
                       " via data64 after 100\nmessage " + to_hex(data_b3_conf(5)) + "\n");
  ASSERT_TRUE(bridge->write(put_request(data_b3_req(4, 5), counting(4)) + wait_request(10000)));
  EXPECT_TRUE(replies(*bridge, 0));
  auto got = bridge->read_reply();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->info, 0u);
  ASSERT_EQ(got->body.size(), 30u + 100u);
  EXPECT_EQ(bytes(got->body.begin() + 30, got->body.end()), data);
  // The indication is outstanding: its response passes, once.
  bytes resp = data_b3_resp(7);
  ASSERT_TRUE(bridge->write(put_request(resp) + put_request(resp) + wait_request(10000) +
                            put_request(data_b3_req(4, 5), counting(4))));
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_TRUE(replies(*bridge, 0x2001));
  EXPECT_TRUE(replies(*bridge, 0, data_b3_conf(5)));
  EXPECT_TRUE(replies(*bridge, 0)) << "handle 5 was released by its DATA_B3_CONF";
}

bytes batch_request(std::uint32_t milliseconds, std::uint16_t messages, std::uint32_t most_bytes) {
  return frame(bytes{'B'} + le32(milliseconds) + le16(messages) + le32(most_bytes));
}

// A Get reply as it stands in a batch: header, message, data.
bytes record(std::uint32_t info, const bytes& message = {}, const bytes& data = {}) {
  return le32(static_cast<std::uint32_t>(4 + message.size() + data.size())) + le32(info) + message +
         data;
}

// The batch waits for a first message as W does, then takes what has come,
// up to its counts, keeping the books as Get does; what ends it early is
// its last record.
TEST_P(wait_test, batch_takes_what_has_come_up_to_its_counts) {
  bytes data = counting(100);
  bytes ind = data_b3_ind(100);
  auto bridge = opened("message " + to_hex(listen_conf) + " after 100\nmessage " + to_hex(ind) +
                       " data " + to_hex(data) + " via data64\nmessage " + to_hex(data_b3_conf(5)) +
                       "\nmessage " + to_hex(listen_conf) + "\n");
  ASSERT_TRUE(
      bridge->write(put_request(data_b3_req(4, 5), counting(4)) + batch_request(10000, 3, 65536)));
  EXPECT_TRUE(replies(*bridge, 0));
  auto got = bridge->read_reply();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->info, 0u);
  // Three records; the indication's Data64 points into the library's
  // memory, so only its data is compared.
  const bytes first = record(0, listen_conf), last = record(0, data_b3_conf(5));
  ASSERT_EQ(got->body.size(), first.size() + 8 + 30 + 100 + last.size());
  EXPECT_EQ(bytes(got->body.begin(), got->body.begin() + 22), first);
  EXPECT_EQ(bytes(got->body.begin() + 22, got->body.begin() + 30), le32(4 + 130) + le32(0));
  const auto last_at = got->body.end() - static_cast<std::ptrdiff_t>(last.size());
  EXPECT_EQ(bytes(last_at - 100, last_at), data);
  EXPECT_EQ(bytes(last_at, got->body.end()), last);
  // The indication is outstanding, handle 5 free again; the fourth
  // message waited for the next request.
  ASSERT_TRUE(bridge->write(put_request(data_b3_resp(7)) +
                            put_request(data_b3_req(4, 5), counting(4)) + batch_request(0, 0, 0) +
                            batch_request(0, 5, 1 << 20)));
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_TRUE(replies(*bridge, 0, record(0, listen_conf))) << "0 messages counts as 1";
  EXPECT_TRUE(replies(*bridge, 0x1104)) << "nothing waiting: W's answer, no records";
}

TEST_P(wait_test, batch_short_body_no_application_and_the_host_gone) {
  auto bridge = start(GetParam());
  ASSERT_TRUE(
      bridge->write(frame(bytes{'B', 0, 0, 0, 0, 1, 0, 0, 0, 1}) + batch_request(0, 5, 64)));
  EXPECT_TRUE(replies(*bridge, 0x1102));
  EXPECT_TRUE(replies(*bridge, 0x1104)) << "before Open";
  bridge.reset();
  // A message, then "ready" with nothing: the record of the end comes last.
  bridge = opened("message " + to_hex(listen_conf) + "\nmessage null\n");
  ASSERT_TRUE(bridge->write(batch_request(5000, 5, 65536) + frame("G")));
  EXPECT_TRUE(replies(*bridge, 0, record(0, listen_conf) + record(0x1108)));
  EXPECT_TRUE(replies(*bridge, 0x1108));
}

INSTANTIATE_TEST_SUITE_P(wait, wait_test, ::testing::Values("full", "without_capi20_fileno"),
                         [](const auto& row) { return std::string(row.param); });

} // namespace
