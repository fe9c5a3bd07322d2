// SPDX-License-Identifier: MIT
// capi-host-emulator (installed with the bridge) as a child process, for a
// program's own tests and shows: an emulated CAPI host on 127.0.0.1, its
// port taken from its "listening" line and its log (standard error) in a
// file. The Python client's LocalEmulator is the same.
#pragma once

#include "capi_bridge/process.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace capi_bridge {

class local_emulator {
public:
  // Starts `program` with --port 0 and `arguments`, standard error appended
  // to `log_path` (discarded when empty), and waits up to 5 s for its
  // "listening 127.0.0.1:PORT" line. Returns false with `error` set when the
  // program cannot be started or the line does not come (it is killed then).
  // An emulator that an earlier start left running is killed first.
  bool start(const std::string& program, const std::vector<std::string>& arguments,
             const std::string& log_path, std::string& error);
  std::uint16_t port() const { return port_; }
  const std::string& log_path() const { return log_path_; }
  // The log so far; empty when it is discarded.
  std::string log() const;
  // Waits up to `timeout` for `text` to appear in the log.
  bool wait_for_log(const std::string& text,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;
  // Waits up to `timeout` for the emulator to end by itself; how it ended, or
  // nullopt when it still ran (it is killed then).
  std::optional<exit_status> wait(std::chrono::milliseconds timeout);
  // Asks the emulator to stop (SIGTERM) and waits as wait() does for 5 s.
  std::optional<exit_status> stop();
  // True from a successful start until it has ended and been reaped.
  bool running() const { return process_.running(); }
  long process_id() const { return process_.id(); }

private:
  child_process process_;
  std::uint16_t port_ = 0;
  std::string log_path_;
};

} // namespace capi_bridge
