// SPDX-License-Identifier: MIT
// What the library reads and writes of its caller's memory and what it lets
// onto the wire: a message is read to its own length, never written, and
// one the frame cannot carry is refused before anything is sent.
#include "entry_points.hpp"
#include "fake_host.hpp"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

using namespace capimsg;

namespace {

constexpr unsigned appl = 9;

// Memory where `content` ends right at a page that cannot be touched, and
// which itself can only be read.
class fenced {
public:
  explicit fenced(const bytes& content) {
    page_ = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    pages_ = (content.size() + page_ - 1) / page_ + 1;
    base_ = static_cast<unsigned char*>(::mmap(nullptr, pages_ * page_, PROT_READ | PROT_WRITE,
                                               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    start_ = base_ + (pages_ - 1) * page_ - content.size();
    std::memcpy(start_, content.data(), content.size());
    ::mprotect(base_, (pages_ - 1) * page_, PROT_READ);
    ::mprotect(base_ + (pages_ - 1) * page_, page_, PROT_NONE);
  }
  ~fenced() { ::munmap(base_, pages_ * page_); }
  fenced(const fenced&) = delete;
  fenced& operator=(const fenced&) = delete;
  unsigned char* data() const { return start_; }

private:
  std::size_t page_ = 0;
  std::size_t pages_ = 0;
  unsigned char* base_ = nullptr;
  unsigned char* start_ = nullptr;
};

class caller : public testing::Test {
protected:
  fake_host host{{fake_host::register_reply(appl)}, fake_host::profile_reply()};
  void SetUp() override {
    host.use();
    unsigned id = 0;
    ASSERT_EQ(capi20_register(1, 7, 2048, &id), 0u);
  }
  void TearDown() override { capi20_release(appl); }
};

bytes data_b3_req(std::optional<std::uint64_t> data64, std::size_t data_length) {
  bytes m = build_data_b3(appl, 5, subcommand::req, {0x10101, 1, 0, data64, {}});
  put_u16(m, 12, 0x5678); // Data: a 32-bit pointer, never used
  put_u16(m, 16, static_cast<std::uint16_t>(data_length));
  return m;
}

bytes pattern(std::size_t size) {
  bytes b(size);
  for (std::size_t i = 0; i < size; ++i)
    b[i] = static_cast<std::uint8_t>(i * 13 + 1);
  return b;
}

TEST_F(caller, message_at_the_end_of_read_only_memory_is_read_to_its_length) {
  bytes listen = build_listen_req(appl, 2, {1, 0, 4, 0, {}});
  fenced memory(listen);
  EXPECT_EQ(capi20_put_message(appl, memory.data()), 0u);
  EXPECT_EQ(host.received(3 + listen.size()), framed(listen));
}

TEST_F(caller, data_b3_req_with_its_data_after_it_in_read_only_memory) {
  bytes message = data_b3_req(std::nullopt, 100);
  bytes with_data = message;
  bytes data = pattern(100);
  with_data.insert(with_data.end(), data.begin(), data.end());
  fenced memory(with_data);
  EXPECT_EQ(capi20_put_message(appl, memory.data()), 0u);
  bytes expected = message;
  put_u16(expected, 12, 0);
  expected.insert(expected.end(), data.begin(), data.end());
  EXPECT_EQ(host.received(3 + expected.size()), framed(expected)) << "Data as 0";
}

TEST_F(caller, data_b3_req_with_data64_reads_there_and_sends_both_pointers_as_0) {
  bytes data = pattern(2143);
  fenced data_memory(data);
  bytes message = data_b3_req(reinterpret_cast<std::uintptr_t>(data_memory.data()), data.size());
  fenced memory(message);
  EXPECT_EQ(capi20_put_message(appl, memory.data()), 0u);
  bytes expected = message;
  put_u16(expected, 12, 0);
  std::fill(expected.begin() + 22, expected.begin() + 30, 0);
  expected.insert(expected.end(), data.begin(), data.end());
  EXPECT_EQ(host.received(3 + expected.size()), framed(expected));
}

struct oversized {
  const char* name;
  bytes message;
  unsigned info;
};

class refused : public caller, public testing::WithParamInterface<oversized> {};

TEST_P(refused, before_anything_is_sent_and_the_connection_goes_on) {
  bytes buffer = GetParam().message;
  buffer.resize(buffer.size() + 4096, 0x33);
  EXPECT_EQ(capi20_put_message(appl, buffer.data()), GetParam().info);
  bytes listen = build_listen_req(appl, 2, {1, 0, 4, 0, {}});
  EXPECT_EQ(capi20_put_message(appl, listen.data()), 0u);
  // Anything sent before it would come first.
  EXPECT_EQ(host.received(3 + listen.size()), framed(listen)) << "the LISTEN_REQ alone";
}

INSTANTIATE_TEST_SUITE_P(
    libcapi20, refused,
    testing::Values(
        oversized{"facility_req_of_2174_bytes",
                  [] {
                    bytes m = build_facility(appl, 3, subcommand::req, {1, 1, bytes(2000, 1)});
                    m.resize(2174);
                    put_u16(m, 0, 2174);
                    return m;
                  }(),
                  0x1102},
        oversized{"message_shorter_than_a_header", {6, 0, appl, 0, 5, 0x80}, 0x1102},
        oversized{"data_b3_req_one_byte_over", data_b3_req(std::nullopt, 2173 - 22 + 1), 0x300C},
        oversized{"data_b3_req_of_30_bytes_one_byte_over", data_b3_req(0, 2173 - 30 + 1), 0x300C},
        oversized{"data_b3_req_without_its_fields",
                  [] {
                    bytes m = data_b3_req(std::nullopt, 0);
                    m.resize(20);
                    put_u16(m, 0, 20);
                    return m;
                  }(),
                  0x1102},
        oversized{"data_b3_resp_to_nothing", build_data_b3_resp(appl, 3, {0x10101, 0}), 0x2001}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(caller, message_of_2173_bytes_goes_out_whole) {
  bytes m = build_facility(appl, 3, subcommand::req, {1, 1, pattern(2000)});
  bytes tail = pattern(2173 - m.size());
  m.insert(m.end(), tail.begin(), tail.end());
  put_u16(m, 0, 2173);
  EXPECT_EQ(capi20_put_message(appl, m.data()), 0u);
  EXPECT_EQ(host.received(3 + 2173), framed(m));
}

TEST(null_arguments, are_refused) {
  unsigned char* m = nullptr;
  EXPECT_EQ(capi20_register(1, 7, 2048, nullptr), 0x1008u);
  EXPECT_EQ(capi20_put_message(12345, nullptr), 0x1101u);
  EXPECT_EQ(capi20_get_message(12345, &m), 0x1101u);
  EXPECT_EQ(capi20_fileno(12345), -1);
  EXPECT_EQ(capi20_release(12345), 0x1101u);
}

} // namespace
