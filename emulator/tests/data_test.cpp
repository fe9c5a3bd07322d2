// SPDX-License-Identifier: MIT
// B3 data: the echo number, and the window of unanswered DATA_B3_INDs.
#include "emulator_test.hpp"

using namespace capimsg;

namespace {

TEST_F(emulator_test, echo_number_answers_and_returns_every_block) {
  start({"--first-appl-id", "570", "--echo-number", "4711"});
  capi_app a;
  ASSERT_EQ(register_app(a), 0u);
  const std::uint32_t not_echo = dial(a, "999");
  expect_disconnect(a, not_echo, info::unallocated_number);

  const std::uint32_t plci = dial(a, "4711");
  expect_active(a, plci, "4711");
  const std::uint32_t ncci = connect_b3_echo(a, plci);
  data_side side = sending(a, ncci, make_blocks(3, 60));
  side.expected = joined(side.blocks);
  run_data({&side});

  ASSERT_EQ(put(a, build_disconnect_req(0, next_number(a), plci)), 0u);
  EXPECT_TRUE(read_conf(expect(a, command::disconnect, subcommand::conf)));
  expect_disconnect_b3(a, ncci);
  expect_disconnect(a, plci, 0);
  release(a);
}

// The receiver holds every block: it gets exactly its window, the sender
// exactly as many confirmations; what waits is confirmed only when it goes
// out, and a sender past the queue is told so.
TEST_F(emulator_test, receiver_window_holds_back_data_and_its_confirmations) {
  start({"--first-appl-id", "575"});
  capi_app a, b;
  ASSERT_EQ(register_app(a), 0u);
  ASSERT_EQ(register_app(b, 1, 7, 2048), 0u);
  const auto [plci_a, plci_b, ncci_a, ncci_b] = call_with_b3(a, b);
  ASSERT_FALSE(HasFailure());

  const std::vector<bytes> blocks = make_blocks(4, 15);
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    ASSERT_EQ(put(a, build_data_b3(
                         0, next_number(a), subcommand::req,
                         {ncci_a, static_cast<std::uint16_t>(i + 1), 0, std::nullopt, blocks[i]})),
              0u);
  }
  // 7 indicated and confirmed, 7 queued, the 15th refused.
  std::vector<std::uint16_t> held;
  bytes received;
  for (int i = 0; i < 7; ++i) {
    auto d = read_data_b3(expect(b, command::data_b3, subcommand::ind));
    ASSERT_TRUE(d);
    held.push_back(d->fields.handle);
    received.insert(received.end(), d->fields.data.begin(), d->fields.data.end());
  }
  EXPECT_FALSE(get(b, std::chrono::milliseconds(200))) << "nothing beyond the window";
  for (std::uint16_t handle = 1; handle <= 7; ++handle) {
    auto c = read_data_b3_conf(expect(a, command::data_b3, subcommand::conf));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->handle, handle);
    EXPECT_EQ(c->info, 0);
  }
  auto refused = read_data_b3_conf(expect(a, command::data_b3, subcommand::conf));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->handle, 15);
  EXPECT_EQ(refused->info, info::queue_busy);
  EXPECT_FALSE(get(a, std::chrono::milliseconds(100))) << "queued blocks are not confirmed yet";

  // Each answer lets one more through, confirmed as it goes.
  for (std::uint16_t next = 8; next <= 14; ++next) {
    ASSERT_EQ(put(b, build_data_b3_resp(0, 1, {ncci_b, held.front()})), 0u);
    held.erase(held.begin());
    auto d = read_data_b3(expect(b, command::data_b3, subcommand::ind));
    ASSERT_TRUE(d);
    held.push_back(d->fields.handle);
    received.insert(received.end(), d->fields.data.begin(), d->fields.data.end());
    auto c = read_data_b3_conf(expect(a, command::data_b3, subcommand::conf));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->handle, next);
  }
  for (std::uint16_t handle : held) {
    ASSERT_EQ(put(b, build_data_b3_resp(0, 1, {ncci_b, handle})), 0u);
  }
  const std::vector<bytes> delivered(blocks.begin(), blocks.begin() + 14);
  EXPECT_TRUE(received == joined(delivered)) << "in order, nothing lost";
  release(a);
  release(b);
}

} // namespace

namespace {

struct block_case {
  std::string name;
  std::string first_appl_id;
  unsigned receiver_max_len;
  std::size_t length;
  std::uint16_t flags;
  std::uint16_t info; // in the DATA_B3_CONF; 0 and 2 mean delivered
};

void PrintTo(const block_case& c, std::ostream* os) {
  *os << c.name;
}

class data_block : public emulator_test, public testing::WithParamInterface<block_case> {};

TEST_P(data_block, is_delivered_or_refused_as_the_receiver_allows) {
  const block_case& c = GetParam();
  start({"--first-appl-id", c.first_appl_id});
  capi_app a, b;
  ASSERT_EQ(register_app(a), 0u);
  ASSERT_EQ(register_app(b, 2, 7, c.receiver_max_len), 0u);
  const auto [plci_a, plci_b, ncci_a, ncci_b] = call_with_b3(a, b);
  ASSERT_FALSE(HasFailure());
  const bytes block = make_blocks(5, 1)[0];
  bytes data(c.length);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = block[i % block.size()];
  }
  ASSERT_EQ(put(a, build_data_b3(0, next_number(a), subcommand::req,
                                 {ncci_a, 9, c.flags, std::nullopt, data})),
            0u);
  if (c.info == info::no_error || c.info == info::flags_ignored) {
    // In pieces of at most the receiver's block size, each answered.
    bytes received;
    while (received.size() < data.size()) {
      auto ind = read_data_b3(expect(b, command::data_b3, subcommand::ind));
      ASSERT_TRUE(ind);
      EXPECT_LE(ind->fields.data.size(), c.receiver_max_len);
      EXPECT_EQ(ind->fields.flags, 0);
      received.insert(received.end(), ind->fields.data.begin(), ind->fields.data.end());
      EXPECT_EQ(put(b, build_data_b3_resp(0, 1, {ncci_b, ind->fields.handle})), 0u);
    }
    EXPECT_TRUE(received == data);
  } else {
    EXPECT_FALSE(get(b, std::chrono::milliseconds(100))) << "nothing delivered";
  }
  auto conf = read_data_b3_conf(expect(a, command::data_b3, subcommand::conf));
  ASSERT_TRUE(conf);
  EXPECT_EQ(conf->handle, 9);
  EXPECT_EQ(conf->info, c.info) << info_text(conf->info);
  release(a);
  release(b);
}

INSTANTIATE_TEST_SUITE_P(
    emulator, data_block,
    testing::Values(block_case{"fills_the_receivers_max_len", "700", 1024, 1024, 0, info::no_error},
                    block_case{"exceeds_the_receivers_max_len_in_two_pieces", "705", 1024, 1025, 0,
                               info::no_error},
                    block_case{"in_sixteen_pieces_of_128", "720", 128, 2048, 0, info::no_error},
                    block_case{"exceeds_the_senders_max_len", "710", 4000, 2049, 0,
                               info::data_length_not_supported},
                    block_case{"carries_flags_transparent_b3_ignores", "715", 2048, 10, 0x0004,
                               info::flags_ignored}),
    [](const auto& row) { return row.param.name; });

// A receiver of 3 blocks of 128 bytes gets a stream of 2048-byte blocks
// whole and in order, never more than 3 pieces unanswered, and the sender's
// confirmations come as its blocks' last pieces go out.
TEST_F(emulator_test, small_receiver_gets_the_stream_in_its_block_size) {
  start({"--first-appl-id", "725"});
  capi_app a, b;
  ASSERT_EQ(register_app(a), 0u);
  ASSERT_EQ(register_app(b, 1, 3, 128), 0u);
  const auto [plci_a, plci_b, ncci_a, ncci_b] = call_with_b3(a, b);
  ASSERT_FALSE(HasFailure());
  std::vector<bytes> blocks(3, bytes(2048));
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    for (std::size_t j = 0; j < 2048; ++j) {
      blocks[i][j] = static_cast<std::uint8_t>(i * 89 + j * 7 + j / 251);
    }
  }
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    ASSERT_EQ(put(a, build_data_b3(
                         0, next_number(a), subcommand::req,
                         {ncci_a, static_cast<std::uint16_t>(i + 1), 0, std::nullopt, blocks[i]})),
              0u);
  }
  bytes received;
  std::vector<std::uint16_t> held;
  while (received.size() < 3 * 2048) {
    while (auto m = get(b, std::chrono::milliseconds(100))) {
      auto ind = read_data_b3(*m);
      ASSERT_TRUE(ind);
      EXPECT_LE(ind->fields.data.size(), 128u);
      received.insert(received.end(), ind->fields.data.begin(), ind->fields.data.end());
      held.push_back(ind->fields.handle);
      ASSERT_LE(held.size(), 3u) << "more pieces unanswered than the receiver registered";
    }
    ASSERT_FALSE(held.empty()) << "the stream stalled at " << received.size() << " bytes";
    for (std::uint16_t handle : held) {
      ASSERT_EQ(put(b, build_data_b3_resp(0, 1, {ncci_b, handle})), 0u);
    }
    held.clear();
  }
  EXPECT_TRUE(received == joined(blocks)) << "in order, nothing lost";
  for (std::uint16_t handle = 1; handle <= 3; ++handle) {
    auto c = read_data_b3_conf(expect(a, command::data_b3, subcommand::conf));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->handle, handle);
    EXPECT_EQ(c->info, 0);
  }
  release(a);
  release(b);
}

} // namespace
