// SPDX-License-Identifier: MIT
// What the library does with a host that sends what no host should: each
// bad frame costs a clear info value, and the connection either stays
// usable or is declared gone (0x1108); never a crash, a block or a read
// out of bounds. SIGPIPE is left at its default: a write to a closed
// connection would end the test.
#include "entry_points.hpp"
#include "fake_host.hpp"

#include <gtest/gtest.h>

#include <sys/time.h>

#include <vector>

using namespace capimsg;

namespace {

constexpr unsigned appl = 7;

bytes listen_conf() {
  return build_conf(appl, 1, command::listen, {1, 0});
}

// A DATA_B3_IND of `length` bytes (22 or 30) declaring `data_length` bytes,
// followed by `data`.
bytes data_b3_ind(std::size_t length, std::uint16_t data_length, const bytes& data,
                  std::uint16_t handle = 0x4242) {
  bytes m = build_data_b3(
      appl, 3, subcommand::ind,
      {0x10101, handle, 0, length == 30 ? std::optional<std::uint64_t>(0) : std::nullopt, {}});
  put_u16(m, 16, data_length);
  m.insert(m.end(), data.begin(), data.end());
  return m;
}

// The library's answer to the next thing that arrives, within 2 s.
unsigned next(unsigned char** message) {
  timeval wait{2, 0};
  unsigned waited = capi20_waitformessage(appl, &wait);
  if (waited != 0)
    return waited;
  return capi20_get_message(appl, message);
}

class hostile_host : public testing::Test {
protected:
  fake_host host{{fake_host::register_reply(appl)}, fake_host::profile_reply()};
  void SetUp() override {
    host.use();
    unsigned id = 0;
    ASSERT_EQ(capi20_register(1, 7, 2048, &id), 0u);
    ASSERT_EQ(id, appl);
  }
  void TearDown() override { capi20_release(appl); }
};

struct bad_frame {
  const char* name;
  bytes frame;
};

class incoming : public hostile_host, public testing::WithParamInterface<bad_frame> {};

TEST_P(incoming, frame_is_refused_with_0x1102_and_the_next_one_comes) {
  host.send(GetParam().frame);
  host.send(framed(listen_conf()));
  unsigned char* m = nullptr;
  EXPECT_EQ(next(&m), 0x1102u);
  ASSERT_EQ(next(&m), 0u);
  EXPECT_EQ(bytes(m, m + 14), listen_conf());
}

INSTANTIATE_TEST_SUITE_P(
    libcapi20, incoming,
    testing::Values(bad_frame{"over_the_buffer", framed(bytes(5000, 0x11))},
                    bad_frame{"over_the_buffer_by_one", framed(bytes(2177, 0x11))},
                    bad_frame{"empty", framed({})},
                    bad_frame{"shorter_than_a_header", framed({8, 0, 7, 0, 5, 0x81, 1})},
                    bad_frame{"length_field_beyond_the_frame",
                              [] {
                                bytes m = listen_conf();
                                put_u16(m, 0, 40);
                                return framed(m);
                              }()},
                    bad_frame{"length_field_below_a_header",
                              [] {
                                bytes m = listen_conf();
                                put_u16(m, 0, 4);
                                return framed(m);
                              }()},
                    bad_frame{"data_b3_ind_without_its_fields",
                              [] {
                                bytes m = data_b3_ind(22, 0, {});
                                m.resize(16);
                                put_u16(m, 0, 16);
                                return framed(m);
                              }()},
                    bad_frame{"data_b3_ind_claiming_more_data_than_sent",
                              framed(data_b3_ind(22, 100, bytes(10, 0x22)))},
                    bad_frame{"data_b3_ind_whose_data_at_offset_30_passes_the_buffer",
                              framed(data_b3_ind(22, 2150, bytes(2150, 0x22)))}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(hostile_host, largest_data_b3_ind_arrives_whole_and_its_resp_goes_back_once) {
  bytes data(2176 - 30);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(i * 7);
  host.send(framed(data_b3_ind(22, static_cast<std::uint16_t>(data.size()), data)));
  unsigned char* m = nullptr;
  ASSERT_EQ(next(&m), 0u);
  ASSERT_EQ(get_u16(byte_view(m, 30), 0), 30);
  EXPECT_EQ(get_u32(byte_view(m, 30), 12), 0u) << "Data";
  EXPECT_EQ(get_u64(byte_view(m, 30), 22), reinterpret_cast<std::uintptr_t>(m + 30)) << "Data64";
  EXPECT_EQ(bytes(m + 30, m + 30 + data.size()), data);
  const std::uint16_t handle = get_u16(byte_view(m, 30), 18);

  // Answers to no DATA_B3_IND held: refused, nothing sent.
  bytes wrong_handle =
      build_data_b3_resp(appl, 3, {0x10101, static_cast<std::uint16_t>(handle + 1)});
  bytes wrong_ncci = build_data_b3_resp(appl, 3, {0x20101, handle});
  bytes right = build_data_b3_resp(appl, 3, {0x10101, handle});
  EXPECT_EQ(capi20_put_message(appl, wrong_handle.data()), 0x2001u);
  EXPECT_EQ(capi20_put_message(appl, wrong_ncci.data()), 0x2001u);
  EXPECT_EQ(capi20_put_message(appl, right.data()), 0u);
  EXPECT_EQ(capi20_put_message(appl, right.data()), 0x2001u) << "answered already";
  bytes listen = build_listen_req(appl, 4, {1, 0, 4, 0, {}});
  EXPECT_EQ(capi20_put_message(appl, listen.data()), 0u);
  bytes expected = right;
  put_u16(expected, 12, 0x4242);
  expected = framed(expected);
  bytes listen_frame = framed(listen);
  expected.insert(expected.end(), listen_frame.begin(), listen_frame.end());
  EXPECT_EQ(host.received(expected.size()), expected) << "the host's own handle, once";
}

TEST_F(hostile_host, disconnect_b3_resp_frees_the_data_b3_ind_held_for_its_ncci) {
  host.send(framed(data_b3_ind(30, 4, {1, 2, 3, 4})));
  unsigned char* m = nullptr;
  ASSERT_EQ(next(&m), 0u);
  const std::uint16_t handle = get_u16(byte_view(m, 30), 18);
  bytes disconnect_b3_resp =
      build_address_only(appl, 4, command::disconnect_b3, subcommand::resp, 0x10101);
  EXPECT_EQ(capi20_put_message(appl, disconnect_b3_resp.data()), 0u);
  bytes resp = build_data_b3_resp(appl, 3, {0x10101, handle});
  EXPECT_EQ(capi20_put_message(appl, resp.data()), 0x2001u);
}

// Registered with (1, 7, 2048): 2 + 1 × (7 + 1) buffers, as Debian's keeps.
TEST_F(hostile_host, data_b3_ind_beyond_the_buffers_waits_until_one_is_answered) {
  constexpr int buffers = 10;
  for (int i = 0; i <= buffers; ++i)
    host.send(framed(
        data_b3_ind(22, 1, {static_cast<std::uint8_t>(i)}, static_cast<std::uint16_t>(0x100 + i))));
  unsigned char* m = nullptr;
  std::vector<std::uint16_t> handles;
  for (int i = 0; i < buffers; ++i) {
    ASSERT_EQ(next(&m), 0u);
    EXPECT_EQ(m[30], i) << "in order";
    handles.push_back(get_u16(byte_view(m, 30), 18));
  }
  EXPECT_EQ(next(&m), 0x1108u) << "every buffer held";
  EXPECT_EQ(capi20_get_message(appl, &m), 0x1108u);
  bytes resp = build_data_b3_resp(appl, 3, {0x10101, handles[4]});
  ASSERT_EQ(capi20_put_message(appl, resp.data()), 0u);
  ASSERT_EQ(next(&m), 0u);
  EXPECT_EQ(m[30], buffers) << "the one that waited";
  EXPECT_EQ(get_u16(byte_view(m, 30), 18), handles[4]) << "in the buffer just answered";
}

struct cut_frame {
  const char* name;
  bytes part;
};

class cut_off : public hostile_host, public testing::WithParamInterface<cut_frame> {};

TEST_P(cut_off, frame_waits_then_the_close_declares_the_connection_gone) {
  host.send(GetParam().part);
  unsigned char* m = nullptr;
  timeval wait{0, 200000};
  EXPECT_EQ(capi20_waitformessage(appl, &wait), 0x1104u) << "part of a frame is no message";
  EXPECT_EQ(capi20_get_message(appl, &m), 0x1104u);
  host.close_application();
  EXPECT_EQ(next(&m), 0x1108u);
  EXPECT_EQ(capi20_get_message(appl, &m), 0x1108u) << "gone stays gone";
  bytes listen = build_listen_req(appl, 2, {1, 0, 4, 0, {}});
  EXPECT_EQ(capi20_put_message(appl, listen.data()), 0x1108u);
  EXPECT_GE(capi20_fileno(appl), 0);
}

INSTANTIATE_TEST_SUITE_P(libcapi20, cut_off,
                         testing::Values(cut_frame{"in_the_header", {0x80, 0x1e}},
                                         cut_frame{
                                             "in_the_message",
                                             [] {
                                               bytes f = framed(data_b3_ind(30, 4, {1, 2, 3, 4}));
                                               f.resize(20);
                                               return f;
                                             }()}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(hostile_host, put_after_the_host_closed_says_0x1108_without_sigpipe) {
  host.close_application();
  bytes listen = build_listen_req(appl, 2, {1, 0, 4, 0, {}});
  unsigned result = 0;
  // The first sends may still be taken by the system.
  for (int i = 0; i < 300 && result == 0; ++i) {
    result = capi20_put_message(appl, listen.data());
    if (result == 0)
      usleep(10000);
  }
  EXPECT_EQ(result, 0x1108u);
}

} // namespace
