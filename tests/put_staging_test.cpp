// SPDX-License-Identifier: MIT
// The buffer that Put hands to the library: whatever an earlier message, or
// the B3 data the library copied behind it, left there, the library always
// finds the message followed by zeros as far as it reads.
#include "support/bridge_fixture.hpp"

namespace {

// A message of `size` bytes whose parameters are all 0xaa.
bytes long_message(std::uint16_t size) {
  bytes m = le16(size) + from_hex("0100 8080 0200 01000000");
  m.resize(size, 0xaa);
  return m;
}

struct staging_case {
  const char* name;
  std::string script;
  std::vector<bytes> puts; // written in one go, each a Put request
  std::vector<std::uint32_t> infos;
  std::size_t library_calls;
};
void PrintTo(const staging_case& row, std::ostream* out) {
  *out << row.name;
}

class put_staging_test : public bridge_test, public ::testing::WithParamInterface<staging_case> {};

TEST_P(put_staging_test, library_sees_zeros_past_each_message) {
  const staging_case& c = GetParam();
  script(c.script);
  auto bridge = start();
  bytes requests = open_request(1, 1, "h");
  for (const bytes& put : c.puts)
    requests = requests + put;
  ASSERT_TRUE(bridge->write(requests + frame("C")));
  ASSERT_TRUE(replies(*bridge, 0, registered_1));
  for (std::size_t i = 0; i < c.puts.size(); ++i)
    EXPECT_TRUE(replies(*bridge, c.infos[i])) << "put " << i;
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_EQ(calls("abort"), std::vector<std::string>{});
  EXPECT_EQ(calls("capi20_put_message ").size(), c.library_calls);
}

INSTANTIATE_TEST_SUITE_P(
    puts, put_staging_test,
    ::testing::Values(staging_case{"after_a_longer_message",
                                   "",
                                   {put_request(long_message(2173)), put_request(long_message(200)),
                                    put_request(listen_req)},
                                   {0, 0, 0},
                                   3},
                      staging_case{"after_data_copied_behind_a_data_b3_req",
                                   "",
                                   {put_request(data_b3_req(2048, 1), bytes(2048, 0x55)),
                                    put_request(listen_req)},
                                   {0, 0},
                                   2},
                      staging_case{"after_data_the_library_copied_and_refused",
                                   "put_message 0x1103 0\n",
                                   {put_request(data_b3_req(1000, 1), bytes(1000, 0x55)),
                                    put_request(long_message(40))},
                                   {0x1103, 0},
                                   2},
                      staging_case{"after_a_message_the_bridge_refused",
                                   "",
                                   {put_request(long_message(2173)),
                                    put_request(data_b3_req(2049, 2)), put_request(listen_req)},
                                   {0, 0x300C, 0},
                                   2}),
    [](const auto& row) { return std::string(row.param.name); });

} // namespace
