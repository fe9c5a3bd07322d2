// SPDX-License-Identifier: MIT
// capi-host-emulator as a child process, for users' own tests and shows.
#include "capi_bridge/emulator.hpp"

#include <fstream>
#include <sstream>
#include <thread>

namespace capi_bridge {

bool local_emulator::start(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& log_path, std::string& error) {
  // A child_process starts once; an emulator object may start again.
  process_ = capi_bridge::child_process();
  log_path_ = log_path;
  std::vector<std::string> command = {program, "--port", "0"};
  command.insert(command.end(), arguments.begin(), arguments.end());
  if (!process_.start({command, {}, log_path, {}, false})) {
    error = process_.error();
    return false;
  }
  std::string line;
  capi_bridge::io_result r = process_.read_line(line, after(std::chrono::milliseconds(5000)));
  const std::string prefix = "listening 127.0.0.1:";
  if (r != capi_bridge::io_result::done || line.rfind(prefix, 0) != 0) {
    error = "capi-host-emulator did not report its port (got \"" + line + "\"); its log: " + log();
    process_.kill();
    return false;
  }
  port_ = static_cast<std::uint16_t>(std::stoul(line.substr(prefix.size())));
  return true;
}

std::string local_emulator::log() const {
  if (log_path_.empty())
    return {};
  std::ifstream in(log_path_, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool local_emulator::wait_for_log(const std::string& text,
                                  std::chrono::milliseconds timeout) const {
  capi_bridge::deadline until = after(timeout);
  while (log().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= until)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::optional<capi_bridge::exit_status> local_emulator::wait(std::chrono::milliseconds timeout) {
  auto ended = process_.wait(after(timeout));
  if (!ended)
    process_.kill();
  return ended;
}

std::optional<capi_bridge::exit_status> local_emulator::stop() {
  process_.terminate();
  return wait(std::chrono::milliseconds(5000));
}

} // namespace capi_bridge
