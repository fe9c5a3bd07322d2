// SPDX-License-Identifier: MIT
// The CAPI 2.0 interface answered through bridges: each registered
// application is a bridge child of its own, reached through the C++ client.
// What the library's entry points (Linux) and the CAPI DLLs (Windows) call.
//
// Threads, as in the client (capi_bridge/client.hpp), whose rules this
// keeps for the program. What may run at the same time: every function
// below, from any number of threads, for the same application or others
// (configure alone excepted). Each call's requests take their own replies;
// a call that fails or throws holds up no other. One waiting Get per
// application is out at a time, shared by every thread that waits for that
// application's messages. Release may come while other threads use the
// application, and does what the client's close requires first: every
// thread that waits for its messages returns 0x1101 at once, calls whose
// requests are out at its bridge finish (a waiting Get is ended early),
// and only then is the bridge closed; calls that come later answer 0x1101.
//
// Lost hosts (settings::reconnect, on by default): an application whose
// bridge ends, or says its host has gone (0x1108), stays registered under
// its ID. Its calls end as on a lost line: the program is handed, after
// what the lost host had sent, a made-up confirmation (info 0x2001) for
// each request the host never confirmed, DISCONNECT_B3_IND for each NCCI
// up, DISCONNECT_IND for each PLCI, both with reason 0x3301; DATA_B3_IND
// data it holds stays valid until it answers. While away, requests are
// refused with 0x1108 and responses taken and dropped; get_message answers
// 0x1104 once those messages are handed out, and wait_for_message waits.
// A thread of the application's own, started at its first loss, registers
// it again through a new bridge with the program's values, at once and
// then after pauses of 0.5 s doubling up to 30 s, and repeats the last
// LISTEN_REQ the host accepted per controller (its LISTEN_CONF is not
// handed out); responses to the lost host's calls go nowhere from then on.
// That thread runs beside all of the calls above, waits on the
// application's lock and condition (never polling), swaps the new bridge
// in under the lock (a call that took the old bridge finishes on it, and
// the last to let go of the old one ends it), and is ended by release,
// which waits for an attempt under way (at most the client's open time).
// It gives up (the application is then gone: 0x1108) only where trying
// again cannot help: no bridge program, or a registration the host refuses
// for its values.
//
// Processes: the bridges are started out of reach of the program's wait()
// (client_options::hidden_from_wait, where the caller asks for it). A child
// forked after registering shares the applications; one process at a time
// may use an application.
#pragma once

#include "capi_bridge/client.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace capi_interface {

// Where a program's DATA_B3 messages carry their data pointer.
enum class data_pointer {
  // Debian's libcapi20 on x86-64: a DATA_B3_REQ's data at Data64 when the
  // message has it (30 bytes or more) and it is not 0, else right behind the
  // message; a DATA_B3_IND handed out in the 30-byte form, Data 0, Data64
  // pointing at the data.
  libcapi20_64,
  // A 32-bit program: the 32-bit Data field both ways; a DATA_B3_IND handed
  // out in the 22-byte form.
  data32,
  // A 64-bit Windows program: Data64 both ways; a DATA_B3_IND handed out in
  // the 30-byte form, Data 0.
  data64,
};

struct settings {
  // How each bridge is started: its command, environment and standard
  // error (the time limits stay the client's).
  capi_bridge::client_options bridge;
  data_pointer pointers = data_pointer::libcapi20_64;
  // The name lines about the bridges start with; empty: none are written.
  // They go where the bridges' standard error goes, else to this process's:
  // always a bridge that cannot be started (with the command tried), and
  // with `verbose` one line per bridge started and ended (with the
  // program's application ID and the host's).
  std::string log_name;
  bool verbose = false;
  // An application whose bridge or host is lost stays registered and is
  // registered again through a new bridge (see "Lost hosts" above); false:
  // it is gone, and its calls answer 0x1108.
  bool reconnect = true;
};

// Sets how bridges are started and messages are read; before the first
// call of anything below, once, from one thread.
void configure(const settings& s);

// The CAPI info values this layer gives of its own.
enum : unsigned {
  info_ok = 0,
  info_logical_block_too_small = 0x1002, // register: blocks below 128 bytes
  // A bridge that died during registration, memory or threads that ran
  // out, or no place for the application ID.
  info_os_resource_error = 0x1008,
  info_not_installed = 0x1009, // no bridge, or a driver other than fritzbox
  info_illegal_appl_id = 0x1101,
  // A message under 8 bytes or none, or a DATA_B3_REQ without data.
  info_illegal_command = 0x1102,
  // A DATA_B3_REQ whose Data handle has one out whose DATA_B3_CONF has not
  // come (the bridge keeps its data under the handle until then).
  info_queue_busy = 0x1103,
  info_queue_empty = 0x1104,
  // The message calls' OS resource error: the application's bridge or host
  // has gone, memory or threads ran out, or a pointer to write to is NULL.
  info_host_gone = 0x1108,
  info_message_not_installed = 0x1109, // Profile without CAPI
  // A DATA_B3_RESP that answers no DATA_B3_IND the program holds (the
  // library would end the process).
  info_not_in_current_state = 0x2001,
  info_data_length_not_supported = 0x300C,
};

// Choosing the host as libcapi20's extension calls do; the bridge passes the
// values to the library, whose configuration file (a REMOTE line) overrides
// them. Only the driver "fritzbox" (or none) can be served.
void set_driver(const std::string& driver);
void set_host(const std::string& host);
void set_port(int port);
std::string driver();
std::string host();
int port();

// The CAPI 2.0 operations, with the library's values. The application IDs
// are this process's own, unique while registered, whatever the host hands
// out; every message's ApplID field is rewritten both ways.

// Whether a bridge can reach the host: 0 while an application is registered,
// otherwise asked through a bridge of its own, kept for Profile until the
// process ends, which registers nothing at the host (a bridge too old to
// ask without registering registers one application for it).
unsigned installed();
// Starts a bridge and registers through it with the program's values:
// `max_b_data_blocks` taken as 1 to 7 (more than CAPI 2.0's 7 as 7),
// `max_b_data_length` of at least 128 (0x1002 below that, as CAPI 2.0 says)
// and at most 2048, the largest block the bridge carries. A bridge too old
// to take them registers 7 blocks of 2048 bytes.
unsigned register_application(unsigned max_logical_connections, unsigned max_b_data_blocks,
                              unsigned max_b_data_length, unsigned& appl_id);
// Ends the application as the threading rules above say (and its
// reconnection), then closes its bridge (which releases it with the host).
unsigned release(unsigned appl_id);
// Reads the message (its own length; a DATA_B3_REQ's data through its
// pointer) and hands a copy to the bridge; writes nothing into the program's
// memory. No message (NULL): 0x1102. A DATA_B3_RESP lets go of the data
// it answers (that NCCI's, under that Data handle), a DISCONNECT_B3_RESP of
// all its NCCI's, before it goes to the bridge and whatever the bridge
// answers, as the library does. While the host is away, and for calls it
// ended, as "Lost hosts" above says.
//
// A put does not wait for its reply, as the library's returns once the
// kernel has the bytes. Everything the bridge would refuse is answered here
// first (the message rules of capi_bridge/put_rules.hpp, 0x1103, 0x2001);
// then the Put is written and 0 returned. Its reply is taken by the
// application's next call that goes to the bridge, at the latest: the next
// put (which writes its own first, then takes the replies before it), a
// get or a wait that finds no message fetched, release. A reply that still
// refuses (only a host or bridge that has gone should) counts as the
// application's bridge having gone: the host is lost, as "Lost hosts"
// says; without reconnection put answers 0x1108 from then on, get hands
// out the messages fetched before, then answers 0x1108, and wait answers 0
// at once.
unsigned put_message(unsigned appl_id, const std::uint8_t* message);
// The next message, or 0x1104 at once when none waits; valid until the next
// get_message for the application. A DATA_B3_IND's data stays valid until
// the program's DATA_B3_RESP for it (or DISCONNECT_B3_RESP for its NCCI,
// DISCONNECT_IND for its PLCI, release). No place for the message (NULL):
// 0x1108, and the message stays.
unsigned get_message(unsigned appl_id, std::uint8_t** message);
// Waits until a message waits (0) or `timeout` passes (0x1104); no time-out
// waits for ever; a time-out of 0 asks the bridge once. An application
// whose bridge or host has gone for good counts as having a message:
// get_message then says 0x1108; while it is away (see "Lost hosts") only
// the messages that end its calls count. 0x1101 at once when the
// application is released meanwhile.
unsigned wait_for_message(unsigned appl_id, std::optional<std::chrono::milliseconds> timeout);
// A controller's 64-byte profile; controller 0 gives the number of
// controllers in its first two bytes. No place for it (NULL): 0x1108.
unsigned get_profile(unsigned controller, std::uint8_t* profile);

// Calls `waiting(true)` whenever a message comes to wait for the program and
// `waiting(false)` when the last one has been taken, from then on: a thread
// of the application's own keeps a waiting Get open at its bridge. False for
// an unknown or released application, or when no thread can be started.
// Once per application.
bool watch(unsigned appl_id, void (*waiting)(void* context, bool now), void* context);

// The bridge's name and version, for the manufacturer, version and serial
// number calls: "capi-bridge", {2, 0, major, minor}, and the version as
// text.
const char* manufacturer();
void version(unsigned (&four)[4]);
const char* serial_number();

// What an entry point that a C or Windows program calls answers: what
// `work` returns, or `failed` when it throws (memory or threads ran out).
// Nothing thrown leaves this layer: it would end the program.
template <class T, class F> T answer_or(T failed, F&& work) noexcept {
  try {
    return work();
  } catch (...) {
    return failed;
  }
}

} // namespace capi_interface
