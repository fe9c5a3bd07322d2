// SPDX-License-Identifier: MIT
// The guard on DATA_B3_RESP: the library aborts the process on a response
// that answers no DATA_B3_IND it holds, so the bridge lets through only those
// that answer one it has handed out and the client has not yet answered.
#include "support/bridge_fixture.hpp"

namespace {

constexpr std::uint32_t ncci_a = 0x00010101; // PLCI 0x0101
constexpr std::uint32_t ncci_b = 0x00020101; // PLCI 0x0101
constexpr std::uint32_t ncci_c = 0x00010102; // PLCI 0x0102
constexpr std::uint32_t refused = 0x2001;

// A DATA_B3_IND without data.
bytes ind(std::uint16_t handle, std::uint32_t ncci) {
  return data_b3_ind(0, 30, handle, ncci);
}

bytes disconnect_b3_resp(std::uint32_t ncci) {
  return from_hex("0c00 0100 8483 0600") + le32(ncci);
}

bytes disconnect_ind(std::uint32_t plci) {
  return from_hex("0e00 0100 0482 0700") + le32(plci) + from_hex("0000");
}

struct resp_case {
  const char* name;
  std::vector<bytes> incoming; // fetched with Get first, in order
  std::vector<bytes> puts;
  std::vector<std::uint32_t> infos; // the reply to each Put
};
void PrintTo(const resp_case& row, std::ostream* out) {
  *out << row.name;
}

class data_b3_resp_test : public bridge_test, public ::testing::WithParamInterface<resp_case> {};

TEST_P(data_b3_resp_test, only_answers_to_outstanding_indications_reach_the_library) {
  const resp_case& c = GetParam();
  std::string lines;
  for (const auto& m : c.incoming)
    lines += "message " + to_hex(m) + "\n";
  script(lines);
  auto bridge = start();
  ASSERT_TRUE(bridge->write(open_request(1, 1, "h")));
  ASSERT_TRUE(replies(*bridge, 0, registered_1));
  for (const auto& m : c.incoming) {
    ASSERT_TRUE(bridge->write(frame("G")));
    ASSERT_TRUE(replies(*bridge, 0, m));
  }
  for (std::size_t i = 0; i < c.puts.size(); ++i) {
    ASSERT_TRUE(bridge->write(put_request(c.puts[i])));
    EXPECT_TRUE(replies(*bridge, c.infos[i])) << "put " << i;
  }
  ASSERT_TRUE(bridge->write(frame("C")));
  EXPECT_TRUE(replies(*bridge, 0));
  auto end = bridge->wait();
  EXPECT_TRUE(end.exited) << "signal " << end.signal;
  EXPECT_EQ(calls("abort"), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    put, data_b3_resp_test,
    ::testing::Values(
        resp_case{"answered_once", {ind(1, ncci_a)}, {data_b3_resp(1, ncci_a)}, {0}},
        resp_case{"never_handed_out", {}, {data_b3_resp(1, ncci_a)}, {refused}},
        resp_case{"answered_twice",
                  {ind(1, ncci_a)},
                  {data_b3_resp(1, ncci_a), data_b3_resp(1, ncci_a)},
                  {0, refused}},
        resp_case{"other_ncci",
                  {ind(1, ncci_a)},
                  {data_b3_resp(1, ncci_b), data_b3_resp(1, ncci_a)},
                  {refused, 0}},
        resp_case{"too_short_to_name_a_handle",
                  {ind(0, ncci_a)},
                  {from_hex("0c00 0100 8683 0500") + le32(ncci_a), data_b3_resp(0, ncci_a)},
                  {refused, 0}},
        resp_case{"after_disconnect_b3_resp",
                  {ind(1, ncci_a), ind(2, ncci_b)},
                  {disconnect_b3_resp(ncci_a), data_b3_resp(1, ncci_a), data_b3_resp(2, ncci_b)},
                  {0, refused, 0}},
        resp_case{"after_disconnect_ind",
                  {ind(1, ncci_a), ind(2, ncci_b), ind(3, ncci_c), disconnect_ind(0x0101)},
                  {data_b3_resp(1, ncci_a), data_b3_resp(2, ncci_b), data_b3_resp(3, ncci_c)},
                  {refused, refused, 0}},
        resp_case{"handle_reused_after_answer",
                  {ind(4, ncci_a), ind(4, ncci_c)},
                  {data_b3_resp(4, ncci_a), data_b3_resp(4, ncci_c), data_b3_resp(4, ncci_c)},
                  {refused, 0, refused}}),
    [](const auto& row) { return std::string(row.param.name); });

// A new registration has a fresh set of buffers in the library: what the
// client left unanswered before is no longer held.
TEST_F(bridge_test, new_registration_forgets_unanswered_indications) {
  script("appl_id 1 2\nmessage " + to_hex(ind(1, ncci_a)) + "\n");
  auto bridge = start();
  ASSERT_TRUE(bridge->write(open_request(1, 1, "h") + frame("G") + open_request(1, 1, "h") +
                            put_request(data_b3_resp(1, ncci_a))));
  EXPECT_TRUE(replies(*bridge, 0, registered_1));
  EXPECT_TRUE(replies(*bridge, 0, ind(1, ncci_a)));
  EXPECT_TRUE(replies(*bridge, 0, from_hex("0200000000")));
  EXPECT_TRUE(replies(*bridge, refused));
}

} // namespace
