// SPDX-License-Identifier: MIT
// What the rows through Debian's libcapi20 share: an emulated CAPI host, a
// HOME for the library, the peers (capi_peer.cpp) started against them in
// their variants, and the figures read back from them.
#pragma once

#include "child.hpp"
#include "harness/emulator.hpp"
#include "rows.hpp"
#include "setup.hpp"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The emulated host and the library's configuration for one row.
struct library_host {
  harness::local_emulator emulator;
  std::string home; // HOME for the library: a .capi20rc with only TRACELEVEL 0
  std::string port;
};

// What programs that use the library have taken out of their environment:
// the library must not find the stand-in, and reads its configuration from
// HOME.
extern const std::vector<std::string> not_the_stand_in;

// Ends the benchmark with a message.
[[noreturn]] void fail_benchmark(const std::string& what);

// Starts the emulator on 127.0.0.1 with application IDs from `first_appl_id`
// (each row its own range, clear of the others should the machine's ID table
// be shared), `controllers` controllers of 2 B channels and
// `emulator_arguments`, and returns true.
// Without the emulator or libcapi20-dev, adds `row` to `t` with "not built"
// and a note instead, and returns false. Ends the benchmark when the emulator
// does not start.
bool start_library_host(library_host& host, int first_appl_id, int controllers, table& t,
                        const std::string& row, const std::string& figure,
                        const std::string& target,
                        const std::vector<std::string>& emulator_arguments = {});

// One way for an application to reach the library.
struct peer_variant {
  std::string name;
  bool bridge = false;          // capi-peer-bridge, else capi-peer-direct
  bool run = false;             // capi-peer-direct under capi-bridge-run
  std::string get;              // bridge: its --get mode
  bool nodelay = false;         // linking: TCP_NODELAY on its socket
  environment_list environment; // added to the peer's (and so its bridge's)
};

// A peer that links the library; one behind a bridge that waits by `get`.
peer_variant linked(const std::string& name, bool nodelay = false);
peer_variant bridged(const std::string& name, const std::string& get,
                     const environment_list& environment = {});
// The linking peer run with capi-bridge-run: its library calls answered
// through bridges.
peer_variant run_linked(const std::string& name);

// Starts a peer of `variant` against `host` with `work` (the peer's options
// that say what to do).
child start_peer(const library_host& host, const peer_variant& variant,
                 const std::vector<std::string>& work);

// One line of a peer's output; ends the benchmark when none comes within a
// minute.
std::string read_peer_line(child& c, const std::string& what);

// Closes the peer's input, waits for it, and ends the benchmark unless it
// ended with status 0.
void finish_peer(child& c);

// CPU seconds a process has used (/proc/PID/schedstat).
double cpu_seconds(long pid);

// Nanoseconds, one a line, as the peers write them (--latencies).
std::vector<double> read_latencies(const std::string& path);

// The value below which `fraction` of `values` lie (sorted in place); 0 for none.
double percentile(std::vector<double>& values, double fraction);

// The order in which `sides` sides take their turns in `round`: each side
// twice, forward then back, starting one further along each round, so
// that no side always runs first or next to the same one.
std::vector<int> turn_order(int sides, int round);

// printf into a string of up to 255 characters.
template <typename... T> std::string format(const char* pattern, T... values) {
  char text[256];
  std::snprintf(text, sizeof text, pattern, values...);
  return text;
}
