// SPDX-License-Identifier: MIT
// The bridge as a child process of a black-box test, on the client
// library's child_process.
#include "support/bridge_process.hpp"

#include <stdexcept>

using capi_bridge::after;
using capi_bridge::io_result;

namespace {

// Long enough for a bridge under Wine to start and take its input.
constexpr std::chrono::milliseconds write_limit = 15s;

std::uint32_t read_le32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

} // namespace

bridge_process::bridge_process(const std::vector<std::string>& argv,
                               const std::map<std::string, std::string>& environment,
                               const std::string& stderr_path) {
  capi_bridge::process_options options;
  options.command = argv;
  options.environment.assign(environment.begin(), environment.end());
  options.stderr_path = stderr_path;
  if (!child_.start(options))
    throw std::runtime_error(child_.error());
}

bridge_process::~bridge_process() {
  close_input();
  close_output();
  wait(2000ms);
}

bool bridge_process::write(const bytes& data) {
  return child_.write(data.data(), data.size(), after(write_limit)) == io_result::done;
}

void bridge_process::write_in_background(bytes data) {
  writer_ = std::thread([this, data = std::move(data)] {
    write(data);
    child_.close_input();
  });
}

void bridge_process::close_input() {
  if (writer_.joinable())
    writer_.join();
  child_.close_input();
}

void bridge_process::close_output() {
  child_.close_output();
}

std::optional<bytes> bridge_process::read_exactly(std::size_t count,
                                                  std::chrono::milliseconds timeout) {
  bytes data(count);
  if (child_.read(data.data(), count, after(timeout)) != io_result::done)
    return std::nullopt;
  return data;
}

std::optional<reply> bridge_process::read_reply(std::chrono::milliseconds timeout) {
  auto head = read_exactly(8, timeout);
  if (!head)
    return std::nullopt;
  reply r;
  r.length = read_le32(head->data());
  r.info = read_le32(head->data() + 4);
  if (r.length < 4)
    return std::nullopt;
  auto body = read_exactly(r.length - 4, timeout);
  if (!body)
    return std::nullopt;
  r.body = std::move(*body);
  return r;
}

bool bridge_process::output_ends(std::chrono::milliseconds timeout) {
  std::uint8_t byte = 0;
  std::size_t got = 0;
  return child_.read_some(&byte, 1, got, after(timeout)) == io_result::ended;
}

exit_result bridge_process::wait(std::chrono::milliseconds timeout) {
  // child_process lets the writing thread run beside reads, not beside this.
  if (writer_.joinable())
    writer_.join();
  exit_result result;
  auto ended = child_.wait(after(timeout));
  if (!ended) {
    child_.kill();
    result.timed_out = true;
    return result;
  }
  result.exited = ended->exited;
  result.status = ended->exited ? ended->code : -1;
  result.signal = ended->signal;
  return result;
}
