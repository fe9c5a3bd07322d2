// SPDX-License-Identifier: MIT
// The fixture of the end-to-end tests (one emulator per test, the library
// pointed at it) and the steps of a call, each checked as it goes.
#pragma once

#include "capi_client.hpp"
#include "harness/emulator.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

// Starts the emulator with --verbose, --exit-after 60 and `args`, its log in
// a fresh file in $HOME. Returns false with `error` set when it does not
// report its port within 5 s.
bool start_emulator(const std::vector<std::string>& args, harness::local_emulator& emu,
                    std::string& error);

class emulator_test : public testing::Test {
protected:
  harness::local_emulator emu;
  // Starts the emulator with `args`, points the library at it and checks that
  // the library takes it as installed.
  void start(const std::vector<std::string>& args);
  // Stops the emulator, which must exit with status 0.
  void TearDown() override;
};

// CIP mask bits: 1 << CIP value. 2: unrestricted digital information, 16: telephony.
inline constexpr std::uint32_t cip_mask_data = 1u << 2;
inline constexpr std::uint32_t cip_mask_telephony = 1u << 16;

void listen(capi_app& app, std::uint32_t cip_mask, std::uint32_t controller = 1);
// CONNECT_REQ on controller 1; the PLCI from its CONNECT_CONF, whose info must be 0.
std::uint32_t dial(capi_app& caller, const std::string& number, std::uint16_t cip = 2);
// Waits for CONNECT_IND.
capimsg::connect_ind ring(capi_app& callee);
void answer(capi_app& callee, std::uint32_t plci, std::uint16_t reject = 0);
// CONNECT_ACTIVE_IND for `plci` showing `connected`, then CONNECT_ACTIVE_RESP.
void expect_active(capi_app& app, std::uint32_t plci, const std::string& connected);
// B3 set up by `a` with the peer `b`: both NCCIs.
std::pair<std::uint32_t, std::uint32_t> connect_b3(capi_app& a, std::uint32_t plci, capi_app& b);
// B3 set up on an echo call: its NCCI.
std::uint32_t connect_b3_echo(capi_app& a, std::uint32_t plci);
// Both ends of a call with B3 up.
struct call_ends {
  std::uint32_t plci_a = 0;
  std::uint32_t plci_b = 0;
  std::uint32_t ncci_a = 0;
  std::uint32_t ncci_b = 0;
};
// `b` listens for data calls, `a` calls it, `b` answers, `a` sets up B3.
call_ends call_with_b3(capi_app& a, capi_app& b);

// DISCONNECT_B3_IND for `ncci`, then DISCONNECT_B3_RESP.
void expect_disconnect_b3(capi_app& app, std::uint32_t ncci);
// DISCONNECT_IND for `plci` with `reason`, then DISCONNECT_RESP.
void expect_disconnect(capi_app& app, std::uint32_t plci, std::uint16_t reason);
void release(capi_app& app);

// One end of a data exchange: blocks to send, bytes expected to arrive.
struct data_side {
  capi_app* app = nullptr;
  std::uint32_t ncci = 0;
  std::vector<capimsg::bytes> blocks;
  capimsg::bytes expected;
  std::size_t sent = 0;
  std::size_t confirmed = 0;
  capimsg::bytes received;
};

// A side that sends `blocks` on `ncci`; `expected` is left to the caller.
data_side sending(capi_app& app, std::uint32_t ncci, std::vector<capimsg::bytes> blocks);

// `count` blocks of 1..2048 bytes of varied content.
std::vector<capimsg::bytes> make_blocks(unsigned seed, std::size_t count);
capimsg::bytes joined(const std::vector<capimsg::bytes>& blocks);

// Sends every side's blocks with at most 7 unconfirmed, checks each
// DATA_B3_CONF (info 0, handles in order) and answers each DATA_B3_IND at
// once, until everything is confirmed and received or 10 s have passed.
void run_data(const std::vector<data_side*>& sides);
