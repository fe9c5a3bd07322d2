// SPDX-License-Identifier: MIT
// The test side: Debian's real libcapi20, pointed at the emulator, with
// helpers that put and get messages under timeouts.
#pragma once

#include "capi_bridge/capimsg.hpp"

#include <chrono>
#include <cstdint>
#include <optional>

// Selects the network driver, 127.0.0.1 and `port`; call before capi20_isinstalled.
void use_emulator(int port);

struct capi_app {
  unsigned id = 0;
  std::uint16_t number = 0; // message number of the last request
};

// capi20_register; its result. The library waits for the host's reply
// without a timeout of its own: an alarm ends the wait after `timeout`, and
// the library then returns 0x1008.
unsigned register_app(capi_app& app, unsigned max_logical = 2, unsigned blocks = 7,
                      unsigned length = 2048,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5));

// capi20_get_profile into 64 bytes, under the same kind of alarm (0x1108 when it fires).
unsigned get_profile(unsigned controller, unsigned char* profile,
                     std::chrono::milliseconds timeout = std::chrono::seconds(5));

// The next message number for a request of `app`.
std::uint16_t next_number(capi_app& app);

// capi20_put_message from a writable buffer large enough for the library,
// which reads 2173 bytes whatever the message's length; for DATA_B3_REQ the
// data follows the message in `message`.
unsigned put(const capi_app& app, const capimsg::bytes& message);

// The next message within `timeout` (nullopt if none), copied; a DATA_B3_IND
// is followed by its data.
std::optional<capimsg::bytes> get(const capi_app& app,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(2));

// The next message, which must be `command`/`subcommand`: the test fails and
// this returns an empty message (which every reader refuses) otherwise.
capimsg::bytes expect(const capi_app& app, std::uint8_t command, std::uint8_t subcommand);
