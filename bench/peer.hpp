// SPDX-License-Identifier: MIT
// How a benchmark peer (capi_peer.cpp) reaches libcapi20: peer_direct.cpp
// links the library, peer_bridge.cpp speaks to a capi-bridge of its own. The
// peer's work is written once against these few functions.
#pragma once

#include "capi_bridge/capimsg.hpp"

#include <cstdint>
#include <string>

// How a peer behind a bridge waits for messages. Every way sends its Puts
// along with its Gets in one write, and a batch of Gets asks for one message
// more than the last batch brought (up to a window's worth); they differ in
// what follows a batch that brought nothing. A peer that links the library
// always blocks in capi20_waitformessage.
enum class get_mode {
  poll,    // the next batch at once
  backoff, // the client library's pause without W: 0, 1, 2 ... 10 ms, from 0 again per message
  khz,     // the next batch at the next millisecond: polling at 1 kHz
  wait,    // the waiting Get, W, which returns when a message comes
};

struct peer_options {
  int port = 0;
  std::string bridge_path; // through a bridge only
  get_mode mode = get_mode::poll;
  bool nodelay = false; // linking only: TCP_NODELAY on the library's socket
};

// Through a bridge: write calls that carried requests (each one round trip),
// Gets (W included), and those that found nothing. All 0 when linking.
struct request_counts {
  std::uint64_t round_trips = 0;
  std::uint64_t gets = 0;
  std::uint64_t empty_gets = 0;
};
extern request_counts counts;

// The registered application's ID.
extern unsigned appl_id;

// Registers an application with 7 blocks of 2048 bytes on 127.0.0.1:port.
// Every function here ends the peer with a message on failure.
void open_application(const peer_options& options);

// Puts `message`, a DATA_B3_REQ's data in `payload`. Through a bridge the
// Put waits to go out with the next receive's requests; its result is
// checked when its reply comes.
void send(const capimsg::bytes& message, const capimsg::bytes& payload);

// The next incoming message into `in`, a DATA_B3_IND's data appended; false
// when none has come by `until` (seconds on now_seconds's clock).
bool receive_until(capimsg::bytes& in, double until);

// Sends what waits to go out and releases the application.
void close_application();

// CPU seconds the bridge has used so far, and its process ID; 0 when linking.
double bridge_cpu_seconds();
long bridge_process_id();

// Seconds on CLOCK_MONOTONIC, which every process of the machine shares.
double now_seconds();

[[noreturn]] void fail(const std::string& what);
