// SPDX-License-Identifier: MIT
// capimsg against byte-exact CAPI 2.0 layouts: frames captured from the real
// library and messages laid out by hand from the parameter order of CAPI 2.0.
#include "capi_bridge/capimsg.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <ostream>
#include <string>

using namespace capimsg;

namespace {

bytes with_data(bytes message, const std::string& data) {
  message.insert(message.end(), data.begin(), data.end());
  return message;
}

struct layout_case {
  std::string name;
  bytes wire;                                // message, then any data
  std::function<bytes()> build;              // must produce wire exactly
  std::function<bool(byte_view)> reads_back; // must accept wire
  std::size_t shortest_valid;                // shorter length fields must be refused
};

const listen_req listen_sample{1, 0x3ff, 0x1fff03ff, 0, {}};
const data_b3 data_short_sample{0x00010101, 8, 0, std::nullopt,
                                bytes{'T', 'R', 'A', 'I', 'L', 'I', 'N', 'G'}};
const data_b3 data_long_sample{0x00010101, 7, 0, 0x000055ea36e910d0ULL,
                               bytes{'C', 'L', 'I', 'E', 'N', 'T', '-', 'P', 'A',
                                     'Y', 'L', 'O', 'A', 'D', '-', 'V', 'I', 'A',
                                     '-', 'D', 'A', 'T', 'A', '6', '4'}};
const connect_req connect_req_sample{1, 16, {0, 0, "123"}, {0, 0, "456"}, b_protocol{1, 1, 0}};
const connect_ind connect_ind_sample{0x0101, 16, {0x01, 0, "123"}, {0x01, 0, "456"}};
const connect_resp connect_resp_sample{0x0101, 0, std::nullopt, {0, 0, "123"}};
const connect_active_ind connect_active_sample{0x0101, {0x21, 0x03, "999"}};
const facility facility_sample{0x0101, 3, bytes(300, 0x5a)};

std::vector<layout_case> layout_cases() {
  bytes facility_wire = {0x3d, 0x01, 0x01, 0x00, 0x80, 0x80, 0x04, 0x00, 0x01,
                         0x01, 0x00, 0x00, 0x03, 0x00, 0xff, 0x2c, 0x01};
  facility_wire.insert(facility_wire.end(), 300, 0x5a);
  return {
      // Captured LISTEN_REQ: info mask 0x3ff, CIP mask 0x1fff03ff, empty calling number and
      // subaddress.
      {"listen_req_captured",
       {0x1a, 0x00, 0x01, 0x00, 0x05, 0x80, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0xff,
        0x03, 0x00, 0x00, 0xff, 0x03, 0xff, 0x1f, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
       [] { return build_listen_req(1, 1, listen_sample); },
       [](byte_view m) { return read_listen_req(m) == listen_sample; },
       26},
      // Captured 22-byte DATA_B3_REQ with its data after the message.
      {"data_b3_req_short_captured",
       with_data({0x16, 0x00, 0x01, 0x00, 0x86, 0x80, 0x03, 0x00, 0x01, 0x01, 0x01,
                  0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x08, 0x00, 0x00, 0x00},
                 "TRAILING"),
       [] { return build_data_b3(1, 3, subcommand::req, data_short_sample); },
       [](byte_view m) {
         auto r = read_data_b3(m);
         return r && r->fields == data_short_sample && r->data_length == 8;
       },
       22},
      // Captured 30-byte DATA_B3_REQ: Data64 carries the client's pointer.
      {"data_b3_req_long_captured",
       with_data({0x1e, 0x00, 0x01, 0x00, 0x86, 0x80, 0x02, 0x00, 0x01, 0x01,
                  0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x19, 0x00, 0x07, 0x00,
                  0x00, 0x00, 0xd0, 0x10, 0xe9, 0x36, 0xea, 0x55, 0x00, 0x00},
                 "CLIENT-PAYLOAD-VIA-DATA64"),
       [] { return build_data_b3(1, 2, subcommand::req, data_long_sample); },
       [](byte_view m) {
         auto r = read_data_b3(m);
         return r && r->fields == data_long_sample && r->data_length == 25;
       },
       22},
      {"data_b3_resp_captured",
       {0x0e, 0x00, 0x01, 0x00, 0x86, 0x83, 0x78, 0x00, 0x01, 0x01, 0x01, 0x00, 0x42, 0x42},
       [] {
         return build_data_b3_resp(1, 0x78, {0x00010101, 0x4242});
       },
       [](byte_view m) {
         return read_data_b3_resp(m) == data_b3_resp{0x00010101, 0x4242};
       },
       14},
      // CONNECT_REQ: called number with its type octet, calling number with
      // type and presentation octets, empty subaddresses, a B protocol of three
      // words and four empty configurations, then empty BC, LLC, HLC, additional info.
      {"connect_req",
       {0x2a, 0x00, 0x01, 0x00, 0x02, 0x80, 0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x10, 0x00,
        0x04, 0x80, '1',  '2',  '3',  0x05, 0x00, 0x80, '4',  '5',  '6',  0x00, 0x00, 0x0a,
        0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
       [] { return build_connect_req(1, 2, connect_req_sample); },
       [](byte_view m) { return read_connect_req(m) == connect_req_sample; },
       42},
      {"connect_ind",
       {0x1f, 0x00, 0x01, 0x00, 0x02, 0x82, 0x05, 0x00, 0x01, 0x01, 0x00,
        0x00, 0x10, 0x00, 0x04, 0x81, '1',  '2',  '3',  0x05, 0x01, 0x80,
        '4',  '5',  '6',  0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
       [] { return build_connect_ind(1, 5, connect_ind_sample); },
       [](byte_view m) { return read_connect_ind(m) == connect_ind_sample; },
       31},
      {"connect_resp_default_b_protocol",
       {0x18, 0x00, 0x01, 0x00, 0x02, 0x83, 0x07, 0x00, 0x01, 0x01, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x05, 0x00, 0x80, '1',  '2',  '3',  0x00, 0x00, 0x00},
       [] { return build_connect_resp(1, 7, connect_resp_sample); },
       [](byte_view m) { return read_connect_resp(m) == connect_resp_sample; },
       24},
      {"connect_active_ind",
       {0x14, 0x00, 0x01, 0x00, 0x03, 0x82, 0x09, 0x00, 0x01, 0x01,
        0x00, 0x00, 0x05, 0x21, 0x83, '9',  '9',  '9',  0x00, 0x00},
       [] { return build_connect_active_ind(1, 9, connect_active_sample); },
       [](byte_view m) { return read_connect_active_ind(m) == connect_active_sample; },
       20},
      {"disconnect_ind",
       {0x0e, 0x00, 0x01, 0x00, 0x04, 0x82, 0x09, 0x00, 0x01, 0x01, 0x00, 0x00, 0x90, 0x34},
       [] {
         return build_disconnect_ind(1, 9, {0x0101, 0x3490});
       },
       [](byte_view m) {
         return read_disconnect_ind(m) == disconnect_ind{0x0101, 0x3490};
       },
       14},
      {"connect_conf",
       {0x0e, 0x00, 0x01, 0x00, 0x02, 0x81, 0x02, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00},
       [] {
         return build_conf(1, 2, command::connect, {0x0101, 0});
       },
       [](byte_view m) {
         return read_conf(m) == conf{0x0101, 0};
       },
       14},
      {"disconnect_b3_ind",
       {0x0f, 0x00, 0x01, 0x00, 0x84, 0x82, 0x0b, 0x00, 0x01, 0x01, 0x01, 0x00, 0x01, 0x33, 0x00},
       [] {
         return build_disconnect_b3_ind(1, 11, {0x00010101, 0x3301, {}});
       },
       [](byte_view m) {
         return read_disconnect_b3_ind(m) == disconnect_b3_ind{0x00010101, 0x3301, {}};
       },
       15},
      {"data_b3_conf",
       {0x10, 0x00, 0x01, 0x00, 0x86, 0x81, 0x03, 0x00, 0x01, 0x01, 0x01, 0x00, 0x08, 0x00, 0x0c,
        0x30},
       [] {
         return build_data_b3_conf(1, 3, {0x00010101, 8, 0x300c});
       },
       [](byte_view m) {
         return read_data_b3_conf(m) == data_b3_conf{0x00010101, 8, 0x300c};
       },
       16},
      {"select_b_protocol_req",
       {0x17, 0x00, 0x01, 0x00, 0x41, 0x80, 0x06, 0x00, 0x01, 0x01, 0x00, 0x00,
        0x0a, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
       [] {
         return build_select_b_protocol_req(1, 6, {0x0101, b_protocol{1, 1, 0}});
       },
       [](byte_view m) {
         return read_select_b_protocol_req(m) == select_b_protocol_req{0x0101, b_protocol{1, 1, 0}};
       },
       23},
      // A struct of 255 bytes or more: 0xff, then a 16-bit length.
      {"facility_req_long_struct", facility_wire,
       [] { return build_facility(1, 4, subcommand::req, facility_sample); },
       [](byte_view m) { return read_facility(m) == facility_sample; }, 317},
  };
}

void PrintTo(const layout_case& c, std::ostream* os) {
  *os << c.name;
}

class layout : public testing::TestWithParam<layout_case> {};

TEST_P(layout, builds_exact_bytes_and_reads_them_back) {
  const layout_case& c = GetParam();
  EXPECT_EQ(c.build(), c.wire);
  EXPECT_TRUE(c.reads_back(c.wire));
}

// A reader handed a message cut short (length field and bytes alike) must
// refuse it rather than read past the end or invent parameters.
TEST_P(layout, refuses_every_truncation) {
  const layout_case& c = GetParam();
  const std::size_t full = get_u16(c.wire, 0);
  for (std::size_t k = 0; k < c.shortest_valid && k < full; ++k) {
    bytes cut(c.wire.begin(), c.wire.begin() + static_cast<std::ptrdiff_t>(k));
    if (k >= 2) {
      put_u16(cut, 0, static_cast<std::uint16_t>(k));
    }
    EXPECT_FALSE(c.reads_back(cut)) << "length " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(capimsg, layout, testing::ValuesIn(layout_cases()),
                         [](const auto& row) { return row.param.name; });

TEST(read, length_field_beyond_the_bytes_is_refused) {
  bytes m = build_disconnect_ind(1, 1, {0x0101, 0});
  put_u16(m, 0, static_cast<std::uint16_t>(m.size() + 1));
  EXPECT_FALSE(read_header(m));
  EXPECT_FALSE(read_disconnect_ind(m));
}

TEST(read, data_b3_ind_as_the_library_returns_it_has_no_data_after_it) {
  // Length 30, Data64 pointing into the library's buffer, DataLength 32.
  const bytes m = {0x1e, 0x00, 0x01, 0x00, 0x86, 0x82, 0x78, 0x00, 0x01, 0x01,
                   0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0x02, 0x00,
                   0x00, 0x00, 0x1e, 0x23, 0x5f, 0x52, 0xea, 0x55, 0x00, 0x00};
  auto r = read_data_b3(m);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->data_length, 32);
  EXPECT_EQ(r->fields.handle, 2);
  EXPECT_EQ(r->fields.data64, 0x000055ea525f231eULL);
  EXPECT_TRUE(r->fields.data.empty());
}

TEST(read, calling_number_without_presentation_octet) {
  // Extension bit set in the first octet: no presentation octet follows.
  bytes m = begin_message(1, command::connect, subcommand::ind, 1);
  append_u32(m, 0x0101);
  append_u16(m, 1);
  const bytes called = {0x81, '1'};
  const bytes calling = {0x81, '4', '2'};
  append_struct(m, called);
  append_struct(m, calling);
  m.insert(m.end(), 6, 0);
  finish_message(m);
  auto r = read_connect_ind(m);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->calling, (party_number{0x01, 0, "42"}));
}

struct text_case {
  std::uint16_t info;
  std::string expected;
};

void PrintTo(const text_case& c, std::ostream* os) {
  *os << std::hex << c.info;
}

class info_texts : public testing::TestWithParam<text_case> {};

TEST_P(info_texts, names_the_value) {
  EXPECT_EQ(info_text(GetParam().info), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    capimsg, info_texts,
    testing::Values(
        text_case{0x0000, "No error, request accepted"},
        text_case{0x100B, "Controller does only support external equipment"},
        text_case{0x1102, "Illegal command or subcommand, or message length less than 12 bytes"},
        text_case{0x2002, "Illegal controller, PLCI or NCCI"},
        text_case{0x3010, "Request not allowed in this state"},
        text_case{0x3304, "Another application got that call"},
        text_case{0x3490, "Network: normal call clearing"},
        text_case{0x34FF, "Network: interworking, unspecified"},
        text_case{0x3485, "Network: cause value not defined"},
        text_case{0x3400, "unknown info value"}, text_case{0x3510, "Modem: handshake error"},
        text_case{0x2009, "unknown info value"}, text_case{0x3380, "unknown info value"}),
    [](const auto& row) {
      char name[16];
      std::snprintf(name, sizeof name, "info_%04x", row.param.info);
      return std::string(name);
    });

TEST(names, exist_only_for_defined_pairs) {
  EXPECT_EQ(message_name(command::connect_b3_active, subcommand::ind), "CONNECT_B3_ACTIVE_IND");
  EXPECT_EQ(message_name(command::listen, subcommand::conf), "LISTEN_CONF");
  EXPECT_EQ(message_name(command::listen, subcommand::ind), "0x05/0x82");
  EXPECT_EQ(message_name(command::connect_active, subcommand::req), "0x03/0x80");
  EXPECT_EQ(message_name(0x20, subcommand::req), "0x20/0x80");
}

TEST(describe, one_line_per_message) {
  EXPECT_EQ(describe(build_connect_req(1, 2, connect_req_sample)),
            "CONNECT_REQ appl=1 msg=2 ctrl=1 cip=16 called=123 calling=456 b=1/1/0");
  EXPECT_EQ(describe(build_disconnect_ind(3, 9, {0x0201, 0x3304})),
            "DISCONNECT_IND appl=3 msg=9 plci=0x0201 reason=0x3304");
  EXPECT_EQ(describe(build_data_b3(1, 3, subcommand::ind, data_short_sample)),
            "DATA_B3_IND appl=1 msg=3 ncci=0x00010101 len=8 handle=8 flags=0x0");
  EXPECT_EQ(describe(build_conf(1, 4, command::listen, {1, 0x2002})),
            "LISTEN_CONF appl=1 msg=4 ctrl=1 info=0x2002");
  EXPECT_EQ(describe(build_address_only(1, 5, 0x55, subcommand::req, 0x0101)),
            "0x55/0x80 appl=1 msg=5 plci=0x0101");
}

TEST(describe, says_when_a_message_cannot_be_read) {
  bytes m = build_connect_req(1, 2, connect_req_sample);
  m.resize(20);
  put_u16(m, 0, 20);
  EXPECT_EQ(describe(m), "CONNECT_REQ appl=1 msg=2 (malformed, length 20)");
  EXPECT_EQ(describe(bytes{1, 2, 3}), "malformed message (3 bytes)");
}

} // namespace
