// capi-host-emulator as a child process: an emulated CAPI host on
// 127.0.0.1 for demonstrations and tests, its port taken from its
// "listening" line and its log (standard error) kept in a file.
#pragma once

#include "capi_bridge/process.hpp"

#include <chrono>
#include <string>
#include <vector>

namespace capi_bridge {

class local_emulator {
public:
  // Starts `program` with --port 0 and `arguments`, standard error appended
  // to `log_path`, and waits up to 5 s for its "listening 127.0.0.1:PORT"
  // line. Returns false with `error` set when it does not come.
  bool start(const std::string& program, const std::vector<std::string>& arguments,
             const std::string& log_path, std::string& error);
  std::uint16_t port() const { return port_; }
  const std::string& log_path() const { return log_path_; }
  // The log so far.
  std::string log() const;
  // Waits up to `timeout` for `text` to appear in the log.
  bool wait_for_log(const std::string& text,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;
  // Asks the emulator to stop and waits up to 5 s (then kills it); how it ended.
  std::optional<exit_status> stop();
  long process_id() const { return process_.id(); }

private:
  child_process process_;
  std::uint16_t port_ = 0;
  std::string log_path_;
};

} // namespace capi_bridge
