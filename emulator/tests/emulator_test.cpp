// SPDX-License-Identifier: MIT
// The call steps and the data pump shared by the end-to-end tests.
#include "emulator_test.hpp"

#include <capi20.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <tuple>

using namespace capimsg;

bool start_emulator(const std::vector<std::string>& args, harness::local_emulator& emu,
                    std::string& error) {
  static int log_count = 0;
  std::string log_path =
      std::string(std::getenv("HOME")) + "/emulator-" + std::to_string(++log_count) + ".log";
  std::vector<std::string> all = {"--verbose", "--exit-after", "60"};
  all.insert(all.end(), args.begin(), args.end());
  return emu.start(CAPI_HOST_EMULATOR, all, log_path, error);
}

void emulator_test::start(const std::vector<std::string>& args) {
  std::string error;
  ASSERT_TRUE(start_emulator(args, emu, error)) << error;
  use_emulator(emu.port());
  ASSERT_EQ(capi20_isinstalled(), 0u);
}

void emulator_test::TearDown() {
  if (emu.running()) {
    auto ended = emu.stop();
    EXPECT_TRUE(ended && ended->exited && ended->code == 0) << emu.log();
  }
  if (HasFailure()) {
    std::fputs(emu.log().c_str(), stderr);
  }
}

void listen(capi_app& app, std::uint32_t cip_mask, std::uint32_t controller) {
  ASSERT_EQ(put(app, build_listen_req(0, next_number(app), {controller, 0, cip_mask, 0, {}})), 0u);
  auto c = read_conf(expect(app, command::listen, subcommand::conf));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->info, 0);
}

std::uint32_t dial(capi_app& caller, const std::string& number, std::uint16_t cip) {
  const std::uint16_t n = next_number(caller);
  EXPECT_EQ(put(caller, build_connect_req(0, n, {1, cip, {0, 0, number}, {}, std::nullopt})), 0u);
  bytes m = expect(caller, command::connect, subcommand::conf);
  auto c = read_conf(m);
  if (!c) {
    ADD_FAILURE() << "no CONNECT_CONF";
    return 0;
  }
  EXPECT_EQ(get_u16(m, 6), n);
  EXPECT_EQ(c->info, 0);
  EXPECT_NE(c->address & 0xff00, 0u) << "a PLCI";
  return c->address;
}

connect_ind ring(capi_app& callee) {
  auto ind = read_connect_ind(expect(callee, command::connect, subcommand::ind));
  if (!ind) {
    ADD_FAILURE() << "no CONNECT_IND";
    return {};
  }
  return *ind;
}

void answer(capi_app& callee, std::uint32_t plci, std::uint16_t reject) {
  EXPECT_EQ(put(callee, build_connect_resp(0, 1, {plci, reject, std::nullopt, {}})), 0u);
}

void expect_active(capi_app& app, std::uint32_t plci, const std::string& connected) {
  auto ind = read_connect_active_ind(expect(app, command::connect_active, subcommand::ind));
  ASSERT_TRUE(ind);
  EXPECT_EQ(ind->plci, plci);
  EXPECT_EQ(ind->connected.digits, connected);
  EXPECT_EQ(put(app, build_address_only(0, 1, command::connect_active, subcommand::resp, plci)),
            0u);
}

namespace {

void expect_b3_active(capi_app& app, std::uint32_t ncci) {
  auto ind = read_b3_ncpi(expect(app, command::connect_b3_active, subcommand::ind));
  ASSERT_TRUE(ind);
  EXPECT_EQ(ind->address, ncci);
  EXPECT_EQ(put(app, build_address_only(0, 1, command::connect_b3_active, subcommand::resp, ncci)),
            0u);
}

std::uint32_t request_b3(capi_app& a, std::uint32_t plci) {
  EXPECT_EQ(
      put(a, build_b3_ncpi(0, next_number(a), command::connect_b3, subcommand::req, {plci, {}})),
      0u);
  auto c = read_conf(expect(a, command::connect_b3, subcommand::conf));
  if (!c) {
    ADD_FAILURE() << "no CONNECT_B3_CONF";
    return 0;
  }
  EXPECT_EQ(c->info, 0);
  EXPECT_EQ(c->address & 0xffff, plci) << "an NCCI of the PLCI";
  EXPECT_NE(c->address >> 16, 0u) << "an NCCI";
  return c->address;
}

} // namespace

std::pair<std::uint32_t, std::uint32_t> connect_b3(capi_app& a, std::uint32_t plci, capi_app& b) {
  const std::uint32_t ncci_a = request_b3(a, plci);
  auto ind = read_b3_ncpi(expect(b, command::connect_b3, subcommand::ind));
  if (!ind) {
    ADD_FAILURE() << "no CONNECT_B3_IND";
    return {};
  }
  EXPECT_EQ(put(b, build_connect_b3_resp(0, 1, {ind->address, 0, {}})), 0u);
  expect_b3_active(a, ncci_a);
  expect_b3_active(b, ind->address);
  return {ncci_a, ind->address};
}

std::uint32_t connect_b3_echo(capi_app& a, std::uint32_t plci) {
  const std::uint32_t ncci = request_b3(a, plci);
  expect_b3_active(a, ncci);
  return ncci;
}

call_ends call_with_b3(capi_app& a, capi_app& b) {
  call_ends ends;
  listen(b, cip_mask_data);
  ends.plci_a = dial(a, "123");
  ends.plci_b = ring(b).plci;
  answer(b, ends.plci_b);
  expect_active(a, ends.plci_a, "123");
  expect_active(b, ends.plci_b, std::to_string(a.id));
  std::tie(ends.ncci_a, ends.ncci_b) = connect_b3(a, ends.plci_a, b);
  return ends;
}

void expect_disconnect_b3(capi_app& app, std::uint32_t ncci) {
  auto ind = read_disconnect_b3_ind(expect(app, command::disconnect_b3, subcommand::ind));
  ASSERT_TRUE(ind);
  EXPECT_EQ(ind->ncci, ncci);
  EXPECT_EQ(put(app, build_address_only(0, 1, command::disconnect_b3, subcommand::resp, ncci)), 0u);
}

void expect_disconnect(capi_app& app, std::uint32_t plci, std::uint16_t reason) {
  auto ind = read_disconnect_ind(expect(app, command::disconnect, subcommand::ind));
  ASSERT_TRUE(ind);
  EXPECT_EQ(ind->plci, plci);
  EXPECT_EQ(ind->reason, reason) << info_text(ind->reason);
  EXPECT_EQ(put(app, build_address_only(0, 1, command::disconnect, subcommand::resp, plci)), 0u);
}

void release(capi_app& app) {
  EXPECT_EQ(capi20_release(app.id), 0u);
}

data_side sending(capi_app& app, std::uint32_t ncci, std::vector<bytes> blocks) {
  data_side s;
  s.app = &app;
  s.ncci = ncci;
  s.blocks = std::move(blocks);
  return s;
}

std::vector<bytes> make_blocks(unsigned seed, std::size_t count) {
  std::vector<bytes> blocks;
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < count; ++i) {
    x = x * 1103515245u + 12345u;
    bytes block(1 + (x >> 8) % 2048);
    for (auto& b : block) {
      x = x * 1103515245u + 12345u;
      b = static_cast<std::uint8_t>(x >> 16);
    }
    blocks.push_back(std::move(block));
  }
  return blocks;
}

bytes joined(const std::vector<bytes>& blocks) {
  bytes all;
  for (const bytes& b : blocks) {
    all.insert(all.end(), b.begin(), b.end());
  }
  return all;
}

void run_data(const std::vector<data_side*>& sides) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  auto finished = [&] {
    for (const data_side* s : sides) {
      if (s->confirmed < s->blocks.size() || s->received.size() < s->expected.size()) {
        return false;
      }
    }
    return true;
  };
  while (!finished()) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "data exchange timed out";
    for (data_side* s : sides) {
      while (s->sent < s->blocks.size() && s->sent - s->confirmed < 7) {
        const auto handle = static_cast<std::uint16_t>(s->sent + 1);
        ASSERT_EQ(
            put(*s->app, build_data_b3(0, next_number(*s->app), subcommand::req,
                                       {s->ncci, handle, 0, std::nullopt, s->blocks[s->sent]})),
            0u);
        ++s->sent;
      }
    }
    for (data_side* s : sides) {
      std::optional<bytes> m = get(*s->app, std::chrono::milliseconds(10));
      if (!m) {
        continue;
      }
      if ((*m)[4] == command::data_b3 && (*m)[5] == subcommand::conf) {
        auto c = read_data_b3_conf(*m);
        ASSERT_TRUE(c);
        EXPECT_EQ(c->ncci, s->ncci);
        EXPECT_EQ(c->info, 0) << info_text(c->info);
        EXPECT_EQ(c->handle, s->confirmed + 1) << "confirmations in order";
        ++s->confirmed;
      } else if ((*m)[4] == command::data_b3 && (*m)[5] == subcommand::ind) {
        auto ind = read_data_b3(*m);
        ASSERT_TRUE(ind);
        EXPECT_EQ(ind->fields.ncci, s->ncci);
        s->received.insert(s->received.end(), ind->fields.data.begin(), ind->fields.data.end());
        ASSERT_EQ(put(*s->app, build_data_b3_resp(0, 1, {s->ncci, ind->fields.handle})), 0u);
      } else {
        FAIL() << "unexpected " << describe(*m);
      }
    }
  }
  for (const data_side* s : sides) {
    EXPECT_TRUE(s->received == s->expected)
        << "appl " << s->app->id << " received " << s->received.size() << " bytes, expected "
        << s->expected.size();
  }
}
