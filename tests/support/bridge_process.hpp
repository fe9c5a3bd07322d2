// SPDX-License-Identifier: MIT
// The bridge under test as a child process (capi_bridge::child_process, the
// client library's): pipes on its standard streams, and a time limit on
// every wait.
#pragma once

#include "capi_bridge/process.hpp"
#include "support/messages.hpp"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

// One reply frame as read from the bridge.
struct reply {
  std::uint32_t length = 0; // the frame's length field
  std::uint32_t info = 0;
  bytes body; // everything after info: data, then extra
};

// Result of waiting for the child to end.
struct exit_result {
  bool exited = false;    // ended by itself with an exit status
  int status = -1;        // its exit status
  bool timed_out = false; // still running when the wait gave up (it is then killed)
  int signal = 0;         // the signal that ended it, if any
};

class bridge_process {
public:
  // Starts `argv` with `environment` added to the test's own environment,
  // standard error appended to `stderr_path` (discarded when empty). Throws
  // std::runtime_error when it cannot be started.
  bridge_process(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& environment,
                 const std::string& stderr_path);
  // Closes both pipes and waits up to 2 s for the child to end, then kills it.
  ~bridge_process();
  bridge_process(const bridge_process&) = delete;
  bridge_process& operator=(const bridge_process&) = delete;

  // Writes all of `data` to the child's standard input within 15 s; false
  // when the child stops reading first or its input is closed.
  bool write(const bytes& data);
  // Writes `data` from a thread of its own, then closes the input, so that
  // the test can read replies while the bridge is still reading requests.
  void write_in_background(bytes data);
  // Closes the child's standard input, after a background write has ended.
  void close_input();
  // Closes this end of the child's standard output: its replies go nowhere.
  void close_output();

  // Reads exactly `count` bytes of the child's standard output, or nullopt
  // when the output ends or `timeout` passes first.
  std::optional<bytes> read_exactly(std::size_t count, std::chrono::milliseconds timeout = 5000ms);
  // One whole reply frame, or nullopt.
  std::optional<reply> read_reply(std::chrono::milliseconds timeout = 5000ms);
  // True when the child's output ends with no further byte before `timeout`.
  bool output_ends(std::chrono::milliseconds timeout = 5000ms);

  // Waits for a background write to end, then up to `timeout` for the child
  // to end; kills it when it does not.
  exit_result wait(std::chrono::milliseconds timeout = 5000ms);

private:
  capi_bridge::child_process child_;
  std::thread writer_;
};
