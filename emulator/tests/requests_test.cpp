// SPDX-License-Identifier: MIT
// Requests the exchange cannot carry out still get their confirmation, with
// the CAPI error that says why, in the layout of their command.
#include "emulator_test.hpp"

using namespace capimsg;

namespace {

struct request_case {
  std::string name;
  std::string first_appl_id;
  bytes request; // appl ID and message number are filled in
  std::uint16_t info;
};

void PrintTo(const request_case& c, std::ostream* os) {
  *os << c.name;
}

class refused_request : public emulator_test, public testing::WithParamInterface<request_case> {};

TEST_P(refused_request, is_confirmed_with_an_error) {
  const request_case& c = GetParam();
  start({"--first-appl-id", c.first_appl_id});
  capi_app a;
  ASSERT_EQ(register_app(a), 0u);
  bytes request = c.request;
  put_u16(request, 6, 0x4321);
  ASSERT_EQ(put(a, request), 0u);
  const bytes conf = expect(a, request[4], subcommand::conf);
  ASSERT_FALSE(conf.empty());
  EXPECT_EQ(get_u16(conf, 6), 0x4321) << "the request's message number";
  std::uint16_t info = 0;
  if (request[4] == command::data_b3) {
    auto p = read_data_b3_conf(conf);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->handle, 0x77) << "the request's handle";
    info = p->info;
  } else if (request[4] == command::facility) {
    auto p = read_facility_conf(conf);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->selector, 1) << "the request's selector";
    info = p->info;
  } else {
    auto p = read_conf(conf);
    ASSERT_TRUE(p);
    info = p->info;
  }
  EXPECT_EQ(info, c.info) << info_text(info);
  release(a);
}

const std::uint32_t no_plci = 0x0701;
const std::uint32_t no_ncci = 0x00010701;

INSTANTIATE_TEST_SUITE_P(
    emulator, refused_request,
    testing::Values(
        request_case{"listen_on_missing_controller", "600",
                     build_listen_req(0, 0, {5, 0, 1, 0, {}}), info::illegal_address},
        request_case{"connect_with_unsupported_b3", "605",
                     build_connect_req(0, 0, {1, 2, {0, 0, "1"}, {}, b_protocol{0, 0, 4}}),
                     info::b3_not_supported},
        request_case{"connect_with_unknown_cip", "610",
                     build_connect_req(0, 0, {1, 40, {0, 0, "1"}, {}, std::nullopt}),
                     info::cip_unknown},
        request_case{"connect_on_missing_controller", "615",
                     build_connect_req(0, 0, {3, 2, {0, 0, "1"}, {}, std::nullopt}),
                     info::illegal_address},
        request_case{"alert_for_no_call", "620",
                     build_address_only(0, 0, command::alert, subcommand::req, no_plci),
                     info::illegal_address},
        request_case{"disconnect_of_no_call", "625", build_disconnect_req(0, 0, no_plci),
                     info::illegal_address},
        request_case{"connect_b3_on_no_call", "630",
                     build_b3_ncpi(0, 0, command::connect_b3, subcommand::req, {no_plci, {}}),
                     info::illegal_address},
        request_case{
            "data_on_no_b3_connection", "635",
            build_data_b3(0, 0, subcommand::req, {no_ncci, 0x77, 0, std::nullopt, {1, 2, 3}}),
            info::illegal_address},
        request_case{"disconnect_b3_of_nothing", "640",
                     build_b3_ncpi(0, 0, command::disconnect_b3, subcommand::req, {no_ncci, {}}),
                     info::illegal_address},
        request_case{"facility", "645", build_facility(0, 0, subcommand::req, {1, 1, {}}),
                     info::facility_not_supported},
        request_case{"info", "650", build_info_req(0, 0, {1, {0, 0, "5"}}),
                     info::not_in_current_state},
        request_case{"select_b_protocol_on_no_call", "655",
                     build_select_b_protocol_req(0, 0, {no_plci, std::nullopt}),
                     info::illegal_address},
        request_case{"manufacturer", "660",
                     build_address_only(0, 0, command::manufacturer, subcommand::req, 1),
                     info::illegal_command},
        request_case{"connect_cut_short", "665",
                     [] {
                       bytes m = build_connect_req(0, 0, {1, 2, {0, 0, "1"}, {}, std::nullopt});
                       m.resize(16);
                       finish_message(m);
                       return m;
                     }(),
                     info::illegal_parameter_coding}),
    [](const auto& row) { return row.param.name; });

} // namespace
