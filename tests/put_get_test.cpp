// SPDX-License-Identifier: MIT
// Put and Get against the stand-in library: message validation, the B3
// payload copies under their Data handles, and incoming messages with their
// B3 data appended from the library's memory.
#include "support/bridge_fixture.hpp"

#include <fstream>

namespace {

// One capi20_put_message call as the stand-in logged it.
struct put_call {
  bytes message;
  bytes data; // what the library would send as B3 data
  bool has_data = false;
};

put_call parse_put(const std::string& line) {
  std::istringstream in(line);
  std::string name, appl, message, word, data;
  in >> name >> appl >> message;
  put_call call{from_hex(message), {}, false};
  if (in >> word && word == "data") {
    in >> data;
    call.has_data = true;
    call.data = from_hex(data);
  }
  return call;
}

std::uint64_t data64_of(const bytes& message) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i)
    value = value << 8 | message[22 + static_cast<std::size_t>(i)];
  return value;
}

class put_get_test : public bridge_test {
protected:
  // Starts the bridge with an application registered.
  std::unique_ptr<bridge_process> open(std::map<std::string, std::string> environment = {}) {
    auto bridge = start("full", std::move(environment));
    EXPECT_TRUE(bridge->write(open_request(1, 1, "h")));
    EXPECT_TRUE(replies(*bridge, 0, registered_1));
    return bridge;
  }
  std::vector<put_call> puts() const {
    std::vector<put_call> all;
    for (const auto& line : calls("capi20_put_message"))
      all.push_back(parse_put(line));
    return all;
  }
};

TEST_F(put_get_test, nothing_reaches_the_library_before_open) {
  auto bridge = start();
  ASSERT_TRUE(bridge->write(put_request(listen_req) + frame("G")));
  EXPECT_TRUE(replies(*bridge, 0x1101));
  EXPECT_TRUE(replies(*bridge, 0x1104));
  EXPECT_EQ(calls(), lines{});
}

TEST_F(put_get_test, put_after_failed_registration_is_refused) {
  script("register 0x1008\n");
  auto bridge = start();
  ASSERT_TRUE(bridge->write(open_request(1, 1, "h") + put_request(listen_req) + frame("G")));
  EXPECT_TRUE(replies(*bridge, 0x1008, from_hex("0000000002")));
  EXPECT_TRUE(replies(*bridge, 0x1101));
  EXPECT_TRUE(replies(*bridge, 0x1104));
  EXPECT_EQ(calls("capi20_put_message"), lines{});
}

struct put_case {
  const char* name;
  bytes body; // after the kind letter
  std::uint32_t info;
  bool reaches_library;
};
void PrintTo(const put_case& row, std::ostream* out) {
  *out << row.name;
}

class put_validation_test : public put_get_test, public ::testing::WithParamInterface<put_case> {};

TEST_P(put_validation_test, checks_lengths_before_the_library_sees_the_message) {
  const put_case& c = GetParam();
  auto bridge = open();
  ASSERT_TRUE(bridge->write(frame(bytes{'M'} + c.body)));
  EXPECT_TRUE(replies(*bridge, c.info));
  auto sent = puts();
  ASSERT_EQ(sent.size(), c.reaches_library ? 1u : 0u);
  if (c.reaches_library) {
    std::size_t length = c.body[0] | static_cast<std::size_t>(c.body[1]) << 8;
    EXPECT_EQ(sent[0].message, bytes(c.body.begin(), c.body.begin() + long(length)));
  }
}

bytes message_of(std::size_t length) {
  bytes m = le16(static_cast<std::uint16_t>(length)) + from_hex("0100 0580 0900");
  m.resize(length, 0x33);
  return m;
}

INSTANTIATE_TEST_SUITE_P(
    put, put_validation_test,
    ::testing::Values(put_case{"seven_bytes", bytes(7, 8), 0x1101, false},
                      put_case{"eight_bytes", message_of(8), 0, true},
                      put_case{"length_7", le16(7) + bytes(6, 0), 0x1102, false},
                      put_case{"length_8193", le16(8193) + bytes(8191, 0), 0x1102, false},
                      // Debian's library sends at most 2173 bytes of a message intact and
                      // garbage beyond them, with success reported.
                      put_case{"length_8192", message_of(8192), 0x1102, false},
                      put_case{"length_2174", message_of(2174), 0x1102, false},
                      put_case{"length_2173", message_of(2173), 0, true},
                      put_case{"longer_than_body", le16(20) + bytes(17, 0), 0x1102, false},
                      put_case{"trailing_bytes_ignored", listen_req + bytes(5, 0xee), 0, true},
                      put_case{"data_b3_ind_untouched", data_b3_ind(4) + bytes(4, 1), 0, true}),
    [](const auto& row) { return std::string(row.param.name); });

// The library's result is the reply. 0x1108, a message it could not send,
// is its connection's end: later Puts say so without asking it, and Close
// releases nothing, as the host may have given the ID to another
// application already.
TEST_F(put_get_test, put_replies_with_the_library_result) {
  script("put_message 0x1108\n");
  auto bridge = open();
  ASSERT_TRUE(bridge->write(put_request(listen_req) + put_request(listen_req) + frame("C")));
  EXPECT_TRUE(replies(*bridge, 0x1108));
  EXPECT_TRUE(replies(*bridge, 0x1108));
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_EQ(bridge->wait().status, 0);
  EXPECT_EQ(calls("capi20_put_message").size(), 1u);
  EXPECT_EQ(calls("capi20_release"), lines{});
}

struct b3_case {
  const char* name;
  bytes message;
  bytes payload;
  bytes expected_data; // what the library reads through Data64
};
void PrintTo(const b3_case& row, std::ostream* out) {
  *out << row.name;
}

class data_b3_req_test : public put_get_test, public ::testing::WithParamInterface<b3_case> {};

// The payload travels in a copy of the bridge's own: Data becomes 0, Data64
// the copy's address, and the library reads exactly the bytes copied.
TEST_P(data_b3_req_test, payload_is_copied_and_pointed_at_by_data64) {
  const b3_case& c = GetParam();
  auto bridge = open();
  ASSERT_TRUE(bridge->write(put_request(c.message, c.payload)));
  EXPECT_TRUE(replies(*bridge, 0));
  auto sent = puts();
  ASSERT_EQ(sent.size(), 1u);
  const bytes& m = sent[0].message;
  ASSERT_EQ(m.size(), c.message.size());
  EXPECT_EQ(to_hex(bytes(m.begin() + 12, m.begin() + 16)), "00000000") << "Data";
  EXPECT_NE(data64_of(m), 0u) << "Data64";
  EXPECT_NE(data64_of(m), data64_of(c.message)) << "the client's Data64 passed through";
  EXPECT_EQ(m[16] | m[17] << 8, c.expected_data.size()) << "Data length";
  EXPECT_EQ(bytes(m.begin(), m.begin() + 12), bytes(c.message.begin(), c.message.begin() + 12));
  EXPECT_EQ(bytes(m.begin() + 18, m.begin() + 22),
            bytes(c.message.begin() + 18, c.message.begin() + 22));
  EXPECT_EQ(sent[0].data, c.expected_data);
}

bytes with_pointers(bytes m) {
  for (std::size_t i = 12; i < 16; ++i)
    m[i] = 0x5a;
  for (std::size_t i = 22; i < 30; ++i)
    m[i] = 0xa5;
  return m;
}

INSTANTIATE_TEST_SUITE_P(
    put, data_b3_req_test,
    ::testing::Values(
        b3_case{"exact", data_b3_req(60, 1), counting(60), counting(60)},
        b3_case{"more_payload_than_declared", data_b3_req(10, 2), counting(60), counting(10)},
        // Declared length lowered to the bytes present: the library never
        // reads past the copy.
        b3_case{"less_payload_than_declared", data_b3_req(100, 3), counting(60), counting(60)},
        b3_case{"empty", data_b3_req(0, 4), {}, {}},
        b3_case{"client_pointers_replaced", with_pointers(data_b3_req(8, 5)), counting(8, 7),
                counting(8, 7)},
        b3_case{"block_size_limit", data_b3_req(2048, 6), counting(2048), counting(2048)},
        b3_case{"all_byte_values", data_b3_req(2048, 7), counting(2048, 0), counting(2048, 0)},
        b3_case{"message_and_data_2173", data_b3_req(2048, 8, 125), counting(2048), counting(2048)},
        // Only the bytes present count towards the library's limit.
        b3_case{"declared_more_than_fits_but_sent_less", data_b3_req(2048, 9, 200), counting(1000),
                counting(1000)}),
    [](const auto& row) { return std::string(row.param.name); });

struct refused_case {
  const char* name;
  bytes message;
  bytes payload;
  std::uint32_t info;
};
void PrintTo(const refused_case& row, std::ostream* out) {
  *out << row.name;
}

class data_b3_req_refused_test : public put_get_test,
                                 public ::testing::WithParamInterface<refused_case> {};

TEST_P(data_b3_req_refused_test, never_reaches_the_library) {
  const refused_case& c = GetParam();
  auto bridge = open();
  ASSERT_TRUE(bridge->write(put_request(c.message, c.payload)));
  EXPECT_TRUE(replies(*bridge, c.info));
  EXPECT_EQ(calls("capi20_put_message"), lines{});
}

INSTANTIATE_TEST_SUITE_P(
    put, data_b3_req_refused_test,
    ::testing::Values(
        // Without Data64 the library would read through the client's own pointer.
        refused_case{"without_data64", data_b3_req(8, 1, 29), counting(8), 0x1102},
        refused_case{"short_form", data_b3_req(8, 1, 22), counting(8), 0x1102},
        // Above the registered block size the library would send other memory.
        refused_case{"above_block_size", data_b3_req(2049, 1), counting(2049), 0x300C},
        refused_case{"largest_length", data_b3_req(65535, 1), counting(100), 0x300C},
        // Message and data together beyond what the library sends intact.
        refused_case{"message_and_data_beyond_2173", data_b3_req(2048, 1, 126), counting(2048),
                     0x1102}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(put_get_test, refused_request_gives_its_handle_up_to_the_next) {
  // Refused as a full send queue (0x1108 would be the connection's end).
  script("put_message 0x1103 0\n");
  auto bridge = open();
  ASSERT_TRUE(bridge->write(put_request(data_b3_req(4, 5), counting(4)) +
                            put_request(data_b3_req(4, 5), counting(4, 9))));
  EXPECT_TRUE(replies(*bridge, 0x1103));
  EXPECT_TRUE(replies(*bridge, 0));
  auto sent = puts();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].data, counting(4, 9));
}

// While the library may still read a handle's copy, a second request with
// that handle is refused; the handle's DATA_B3_CONF frees it, whatever its
// Info, as long as the confirmation carries the handle at all.
TEST_F(put_get_test, handle_in_flight_is_busy_until_confirmed) {
  script("message " + to_hex(data_b3_conf(5, 0, 13)) + "\n" +  // too short to name a handle
         "message " + to_hex(data_b3_conf(5, 0x1108)) + "\n" + // an error still confirms
         "message " + to_hex(data_b3_conf(6, 0, 14)) + "\n");  // the shortest that does
  auto bridge = open();
  auto req = [](std::uint16_t handle, std::uint8_t fill) {
    return put_request(data_b3_req(3, handle), bytes(3, fill));
  };
  ASSERT_TRUE(bridge->write(req(5, 1) + req(6, 2) + req(5, 3) + frame("G") + req(5, 4)));
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_TRUE(replies(*bridge, 0x1103));
  EXPECT_TRUE(replies(*bridge, 0, data_b3_conf(5, 0, 13)));
  EXPECT_TRUE(replies(*bridge, 0x1103));
  ASSERT_TRUE(bridge->write(frame("G") + req(5, 5) + req(6, 6) + frame("G") + req(6, 7)));
  EXPECT_TRUE(replies(*bridge, 0, data_b3_conf(5, 0x1108)));
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_TRUE(replies(*bridge, 0x1103));
  EXPECT_TRUE(replies(*bridge, 0, data_b3_conf(6, 0, 14)));
  EXPECT_TRUE(replies(*bridge, 0));
  std::vector<bytes> sent_data;
  for (const auto& call : puts())
    sent_data.push_back(call.data);
  EXPECT_EQ(sent_data, (std::vector<bytes>{bytes(3, 1), bytes(3, 2), bytes(3, 5), bytes(3, 7)}));
}

TEST_F(put_get_test, no_memory_for_the_copy) {
  if (!can_preload_allocator())
    GTEST_SKIP() << "allocation failures are injected with an LD_PRELOAD library, which "
                    "neither Wine nor a sanitizer's own allocator admits";
  script("put_message 0x1108\n");
  auto bridge = open({{"LD_PRELOAD", COUNT_ALLOCATIONS_LIBRARY}, {"FAIL_ALLOCATIONS_OF", "1234"}});
  // The first request leaves its copy in slot 9 (refused by the library); the
  // second, whose copy cannot be made, empties the slot and goes nowhere.
  ASSERT_TRUE(bridge->write(put_request(data_b3_req(5, 9), counting(5)) +
                            put_request(data_b3_req(1234, 9), counting(1234))));
  EXPECT_TRUE(replies(*bridge, 0x1108));
  EXPECT_TRUE(replies(*bridge, 0x1008));
  EXPECT_EQ(puts().size(), 1u);
}

TEST_F(put_get_test, get_without_a_waiting_message_is_queue_empty) {
  for (const char* wait_result : {"0x1104", "0x1101", "0x1009"}) {
    script(std::string("waitformessage ") + wait_result + "\nmessage " + to_hex(listen_req) + "\n");
    auto bridge = open();
    ASSERT_TRUE(bridge->write(frame("G")));
    EXPECT_TRUE(replies(*bridge, 0x1104)) << wait_result;
  }
  // Each Get asked with a fresh zero time-out, and never fetched.
  EXPECT_EQ(calls("capi20_waitformessage"), lines(3, "capi20_waitformessage 1 0 0"));
  EXPECT_EQ(calls("capi20_get_message"), lines{});
}

TEST_F(put_get_test, get_passes_library_errors_and_empty_results) {
  script("get_message 0x1108 0 0\nwaitformessage 0\nmessage null\n");
  auto bridge = open();
  ASSERT_TRUE(bridge->write(frame("G") + frame("G") + frame("G") + frame("G")));
  EXPECT_TRUE(replies(*bridge, 0x1108)) << "the library's error";
  EXPECT_TRUE(replies(*bridge, 0x1104)) << "result 0 without a message";
  EXPECT_TRUE(replies(*bridge, 0x1104)) << "nothing left";
  EXPECT_TRUE(replies(*bridge, 0x1104));
  EXPECT_EQ(calls("capi20_waitformessage"), lines(4, "capi20_waitformessage 1 0 0"));
}

// A library may say a message is there and then have none to give; the
// client learns only that nothing came, however often that happens.
TEST_F(put_get_test, ready_without_a_message_is_queue_empty_every_time) {
  script("waitformessage 0\nget_message 0x1104\n");
  auto bridge = open();
  ASSERT_TRUE(bridge->write(frame("G") + frame("G") + frame("G")));
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(replies(*bridge, 0x1104)) << "Get " << i;
  EXPECT_EQ(calls("capi20_waitformessage").size(), 3u);
  EXPECT_EQ(calls("capi20_get_message"), lines(3, "capi20_get_message 1"));
}

// Get never waits: a message that the library has not yet received is
// simply not there, and is handed out by the first Get after it came.
TEST_F(put_get_test, message_arriving_later_is_handed_out_by_a_later_get) {
  script("message " + to_hex(listen_req) + " after 500\n");
  auto before_open = std::chrono::steady_clock::now();
  auto bridge = open();
  auto deadline = before_open + 10s;
  std::optional<reply> got;
  std::size_t gets = 0;
  do {
    ASSERT_TRUE(bridge->write(frame("G")));
    got = bridge->read_reply();
    ASSERT_TRUE(got);
    ++gets;
    if (got->info == 0x1104)
      std::this_thread::sleep_for(20ms);
  } while (got->info == 0x1104 && std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(got->info, 0u);
  EXPECT_EQ(got->body, listen_req);
  EXPECT_GE(std::chrono::steady_clock::now() - before_open, 500ms);
  EXPECT_EQ(calls("capi20_waitformessage"), lines(gets, "capi20_waitformessage 1 0 0"));
}

struct get_case {
  const char* name;
  std::string message_line; // the stand-in's script line
  bytes message;            // the message the client must see
  bytes extra;              // the B3 data appended
};
void PrintTo(const get_case& row, std::ostream* out) {
  *out << row.name;
}

class get_test : public put_get_test, public ::testing::WithParamInterface<get_case> {};

TEST_P(get_test, hands_out_the_message_and_readable_b3_data) {
  const get_case& c = GetParam();
  script(c.message_line + "\n");
  auto bridge = open();
  ASSERT_TRUE(bridge->write(frame("G")));
  auto got = bridge->read_reply();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->info, 0u);
  EXPECT_EQ(got->length, 4 + c.message.size() + c.extra.size());
  ASSERT_GE(got->body.size(), c.message.size());
  bytes message(got->body.begin(), got->body.begin() + long(c.message.size()));
  bytes extra(got->body.begin() + long(c.message.size()), got->body.end());
  // Pointer fields hold addresses in the library's memory: compare the rest.
  for (std::size_t i : {12u, 13u, 14u, 15u, 22u, 23u, 24u, 25u, 26u, 27u, 28u, 29u})
    if (i < message.size() && c.message.size() >= 22 && c.message[4] == 0x86)
      message[i] = c.message[i];
  EXPECT_EQ(to_hex(message), to_hex(c.message));
  EXPECT_EQ(to_hex(extra), to_hex(c.extra));
}

std::string line_for(const bytes& message, const bytes& data = {}, const char* where = nullptr) {
  std::string line = "message " + to_hex(message);
  if (where != nullptr)
    line += " data " + (data.empty() ? "-" : to_hex(data)) + " via " + where;
  return line;
}

const bytes connect_ind = message("0000 0100 0282 0700 01010000 1000 0481313233 0481343536"
                                  "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");

INSTANTIATE_TEST_SUITE_P(
    get, get_test,
    ::testing::Values(
        get_case{"other_message", line_for(connect_ind), connect_ind, {}},
        get_case{"data_b3_req_subcommand", line_for(data_b3_req(4, 1)), data_b3_req(4, 1), {}},
        get_case{"data_b3_resp", line_for(data_b3_resp(7)), data_b3_resp(7), {}},
        get_case{"data64", line_for(data_b3_ind(100), counting(100), "data64"), data_b3_ind(100),
                 counting(100)},
        get_case{"data32_in_short_form", line_for(data_b3_ind(50, 22), counting(50), "data32"),
                 data_b3_ind(50, 22), counting(50)},
        get_case{"data32_in_29_bytes", line_for(data_b3_ind(50, 29), counting(50), "data32"),
                 data_b3_ind(50, 29), counting(50)},
        get_case{"data32_when_data64_is_zero", line_for(data_b3_ind(50), counting(50), "data32"),
                 data_b3_ind(50), counting(50)},
        get_case{"all_byte_values", line_for(data_b3_ind(2048), counting(2048), "data64"),
                 data_b3_ind(2048), counting(2048)},
        get_case{"zero_length", line_for(data_b3_ind(0), {}, "data64"), data_b3_ind(0), {}},
        get_case{"null_pointer", line_for(data_b3_ind(40)), data_b3_ind(40), {}},
        get_case{"unreadable64",
                 line_for(data_b3_ind(40), counting(40), "unreadable64"),
                 data_b3_ind(40),
                 {}},
        get_case{"unreadable32",
                 line_for(data_b3_ind(40, 22), counting(40), "unreadable32"),
                 data_b3_ind(40, 22),
                 {}},
        // Readable at the start, then a no-access page: all or nothing.
        get_case{"straddling_a_no_access_page",
                 line_for(data_b3_ind(2000), counting(2000), "straddle64"),
                 data_b3_ind(2000),
                 {}},
        // No registered application receives more than a block: a larger
        // Data length (a faulty host's) would reach past the library's data.
        get_case{"data_length_above_block_size",
                 line_for(data_b3_ind(2049), counting(2049), "data64"),
                 data_b3_ind(2049),
                 {}},
        get_case{"shorter_than_22", line_for(data_b3_ind(40, 21)), data_b3_ind(40, 21), {}}),
    [](const auto& row) { return std::string(row.param.name); });

// A length field beyond the library's receive buffer was written by a faulty
// or hostile host: the bytes it claims are not the message's, and none of
// them reach the client.
TEST_F(put_get_test, message_longer_than_the_library_receives_is_refused) {
  bytes lying = data_b3_conf(5);
  lying[0] = 0xff;
  lying[1] = 0xff;
  bytes longest = message_of(2176);
  script(line_for(lying) + "\n" + line_for(message_of(2177)) + "\n" + line_for(longest) + "\n");
  auto bridge = open();
  ASSERT_TRUE(bridge->write(frame("G") + frame("G") + frame("G")));
  EXPECT_TRUE(replies(*bridge, 0x1102));
  EXPECT_TRUE(replies(*bridge, 0x1102));
  EXPECT_TRUE(replies(*bridge, 0, longest));
}

// The whole exchange a client goes through, in order.
TEST_F(put_get_test, typical_exchange) {
  const bytes connect_req = message("0000 0100 0280 0100 01000000 1000 0480313233 00 00 00 00 00"
                                    " 00 00 00 00 00");
  const bytes resp = data_b3_resp(7);
  script("waitformessage 0x1104 0x1104 0\n"
         "message " +
         to_hex(connect_ind) + "\n" + "message " + to_hex(data_b3_conf(3)) + "\n" +
         line_for(data_b3_ind(16), counting(16, 0x61), "data64") + "\n");
  auto bridge = open();
  ASSERT_TRUE(bridge->write(put_request(connect_req) + frame("G") + frame("G") +
                            put_request(data_b3_req(16, 3), counting(16, 0x41)) + frame("G") +
                            frame("G") + frame("G") + put_request(resp) + frame("G") + frame("C")));
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_TRUE(replies(*bridge, 0x1104));
  EXPECT_TRUE(replies(*bridge, 0x1104));
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_TRUE(replies(*bridge, 0, connect_ind));
  EXPECT_TRUE(replies(*bridge, 0, data_b3_conf(3)));
  auto ind = bridge->read_reply();
  ASSERT_TRUE(ind);
  EXPECT_EQ(ind->length, 4u + 30 + 16);
  EXPECT_EQ(bytes(ind->body.begin() + 30, ind->body.end()), counting(16, 0x61));
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_TRUE(replies(*bridge, 0x1104));
  EXPECT_TRUE(replies(*bridge, 0));
  EXPECT_TRUE(bridge->output_ends());
  auto sent = puts();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].message, connect_req);
  EXPECT_EQ(sent[1].data, counting(16, 0x41));
  EXPECT_EQ(sent[2].message, resp);
  EXPECT_EQ(calls("capi20_release"), lines{"capi20_release 1"});
}

// Serving requests allocates nothing but the payload copies: the request
// buffer and the staging buffer are reused.
TEST_F(put_get_test, steady_stream_allocates_only_payload_copies) {
  if (!can_preload_allocator())
    GTEST_SKIP() << "allocations are counted with an LD_PRELOAD library, which neither Wine "
                    "nor a sanitizer's own allocator admits";
  script("put_message 0 0x1108\n");
  auto allocations = [&](int rounds, bool with_data) {
    std::string count_file = path("allocations");
    auto bridge = start("full", {{"LD_PRELOAD", COUNT_ALLOCATIONS_LIBRARY},
                                 {"COUNT_ALLOCATIONS_FILE", count_file},
                                 {"FAKE_CAPI_LOG", ""}});
    bytes requests = open_request(1, 1, "h");
    for (int i = 0; i < rounds; ++i) {
      requests = requests + put_request(listen_req) + frame("G") + frame("X") + profile_request(1);
      if (with_data)
        requests = requests + put_request(data_b3_req(100, 1), counting(100));
    }
    bridge->write_in_background(requests + frame("C"));
    while (bridge->read_reply(5000ms)) {
    }
    EXPECT_EQ(bridge->wait().status, 0);
    long count = -1;
    std::ifstream(count_file) >> count;
    return count;
  };
  long few = allocations(10, false);
  EXPECT_GT(few, 0);
  EXPECT_EQ(allocations(3000, false), few);
  long few_with_data = allocations(10, true);
  EXPECT_EQ(allocations(3000, true) - few_with_data, 2990);
}

} // namespace
