// SPDX-License-Identifier: MIT
// The CAPI 2.0 interface answered through bridges: each registered
// application is a bridge child of its own, reached through the C++ client.
// What the library's entry points (Linux) and the CAPI DLLs (Windows) call;
// every function may be called from several threads at once.
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
};

// Sets how bridges are started and messages are read; before the first
// call of anything below, once.
void configure(const settings& s);

// The CAPI info values this layer gives of its own.
enum : unsigned {
  info_ok = 0,
  info_os_resource_error = 0x1008, // a bridge that died during registration
  info_not_installed = 0x1009,     // no bridge, or a driver other than fritzbox
  info_illegal_appl_id = 0x1101,
  info_illegal_command = 0x1102, // a message under 8 bytes, or a DATA_B3_REQ without data
  info_queue_empty = 0x1104,
  info_host_gone = 0x1108,             // the application's bridge or host has gone
  info_message_not_installed = 0x1109, // Profile without CAPI
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
// otherwise asked through a bridge of its own (which registers one
// application, kept for Profile, until the process ends).
unsigned installed();
// Starts a bridge and registers through it. The bridge registers 7 blocks of
// 2048 bytes whatever `max_b_data_blocks` and `max_b_data_length` say.
unsigned register_application(unsigned max_logical_connections, unsigned max_b_data_blocks,
                              unsigned max_b_data_length, unsigned& appl_id);
// Closes the application's bridge (which releases it with the host).
unsigned release(unsigned appl_id);
// Reads the message (its own length; a DATA_B3_REQ's data through its
// pointer) and hands a copy to the bridge; writes nothing into the program's
// memory.
unsigned put_message(unsigned appl_id, const std::uint8_t* message);
// The next message, or 0x1104 at once when none waits; valid until the next
// get_message for the application. A DATA_B3_IND's data stays valid until
// the program's DATA_B3_RESP for it (or DISCONNECT_B3_RESP for its NCCI,
// DISCONNECT_IND for its PLCI, release).
unsigned get_message(unsigned appl_id, std::uint8_t** message);
// Waits until a message waits (0) or `timeout` passes (0x1104); no time-out
// waits for ever. An application whose bridge or host has gone counts as
// having a message: get_message then says 0x1108.
unsigned wait_for_message(unsigned appl_id, std::optional<std::chrono::milliseconds> timeout);
// A controller's 64-byte profile; controller 0 gives the number of
// controllers in its first two bytes.
unsigned get_profile(unsigned controller, std::uint8_t* profile);

// Calls `waiting(true)` whenever a message comes to wait for the program and
// `waiting(false)` when the last one has been taken, from then on: a thread
// of the application's own keeps a waiting Get open at its bridge. False for
// an unknown application. Once per application.
bool watch(unsigned appl_id, void (*waiting)(void* context, bool now), void* context);

// The bridge's name and version, for the manufacturer, version and serial
// number calls: "capi-bridge", {2, 0, major, minor}, and the version as
// text.
const char* manufacturer();
void version(unsigned (&four)[4]);
const char* serial_number();

} // namespace capi_interface
