// SPDX-License-Identifier: MIT
// A child process with pipes on its standard input and output and its
// standard error in a file or discarded, never in an undrained pipe. Every
// wait on it has a deadline. One implementation file per platform.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace capi_bridge {

using deadline = std::chrono::steady_clock::time_point;

struct process_options {
  // The program and its arguments. The program is looked up in PATH when the
  // name has no directory part (e.g. {"wine", "C:/x/capi-bridge.exe"}).
  std::vector<std::string> command;
  // Set in the child's environment, over what it inherits from this process.
  std::vector<std::pair<std::string, std::string>> environment;
  // The child's standard error is appended to this file (created if
  // missing); empty: discarded (the null device). POSIX: "/dev/stderr" is
  // this process's own standard error, shared as it is.
  std::string stderr_path;
  // Names taken out of what the child inherits (names compare without case
  // on Windows); `environment` is applied after, so a name in both is set.
  std::vector<std::string> unset_environment;
  // POSIX: the child is started under a keeper that is no child of this
  // process: the program's own wait() or waitpid(-1, ...) never sees it,
  // and an exec leaves nothing behind to reap. Its end is still seen here,
  // status included (the keeper passes it on); id() is then the ID of the
  // process group that the keeper and the child share, where every signal
  // goes. For a library inside a program that reaps every child it has.
  // No effect on Windows.
  bool hidden_from_wait = false;
};

// How a child ended.
struct exit_status {
  bool exited = false; // ended by itself; `code` is its exit status
  int code = -1;
  int signal = 0; // POSIX: the signal that ended it, if one did
};

enum class io_result {
  done,      // every byte asked for went through
  ended,     // the other end is closed (the child's output ended, or its input)
  timed_out, // the deadline passed first
  failed,    // the operating system reported an error
};

// One thread at a time may use a child_process, with one exception: the
// input side (write, close_input) and the output side (read, read_some,
// read_line, close_output) may each be used by a thread of its own at the
// same time, e.g. a thread that writes a long stream of requests while
// another reads the replies. Nothing else may run while both are in use.
class child_process {
public:
  child_process();
  // Kills the child if it is still running, and reaps it.
  ~child_process();
  // A moved-from child_process may only be destroyed or assigned to.
  // Assigning ends the child the target ran, as its destructor would.
  child_process(child_process&&) noexcept;
  child_process& operator=(child_process&&) noexcept;
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;

  // Starts the child. Returns false, with error() saying why, when the
  // program cannot be started (not found, not executable, pipes or the
  // stderr file unavailable). Call once.
  bool start(const process_options& options);
  const std::string& error() const;

  // True from a successful start until the child has been reaped (by wait,
  // kill, or a read or write that found it gone and a wait that saw it end).
  bool running() const;
  // The operating system's process ID; 0 before start.
  long id() const;

  // Writes all `size` bytes to the child's standard input before `until`.
  // `ended` when the child no longer reads its input (closed or gone).
  io_result write(const std::uint8_t* data, std::size_t size, deadline until);
  // Reads exactly `size` bytes of the child's standard output before `until`.
  // `ended` when the output ends first; the bytes read so far are lost.
  io_result read(std::uint8_t* data, std::size_t size, deadline until);
  // Reads what the child's standard output holds, at most `size` (above 0)
  // bytes, waiting until `until` for the first byte. `done` with `got` set
  // to the count (at least 1); otherwise `got` is 0 and `ended` says that
  // the output ended.
  io_result read_some(std::uint8_t* data, std::size_t size, std::size_t& got, deadline until);
  // Reads one line of output (without its newline) before `until`. Reads a
  // byte at a time, so nothing after the line is consumed.
  io_result read_line(std::string& line, deadline until);

  // Closes the child's standard input: it sees the end of its input.
  void close_input();
  // Closes this end of the child's standard output: the child's writes fail
  // from then on (EPIPE, and SIGPIPE unless it ignores it); reads here report
  // `ended`.
  void close_output();
  // Waits until the child ends or `until` passes; nullopt if it still runs
  // (it is left running). Once reaped, returns the same status again.
  std::optional<exit_status> wait(deadline until);
  // Asks the child to stop (SIGTERM on POSIX; on Windows the same as kill).
  void terminate();
  // Ends the child at once (SIGKILL, TerminateProcess) and reaps it.
  void kill();
  // Ends the child at once without reaping it or closing the pipes, so that
  // a read or write in another thread sees its end instead of a closed
  // descriptor: the one call that may run beside reads and writes. kill(),
  // wait() or the destructor reap it later.
  void kill_only();

private:
  struct state;
  std::unique_ptr<state> s_;
};

// A deadline `timeout` from now.
inline deadline after(std::chrono::milliseconds timeout) {
  return std::chrono::steady_clock::now() + timeout;
}

} // namespace capi_bridge
