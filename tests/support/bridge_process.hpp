// Starting the bridge under test as a child process with pipes on its
// standard streams, and talking to it with a time limit on every wait.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

using bytes = std::vector<std::uint8_t>;
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
  // standard error into `stderr_path` (or /dev/null when empty).
  bridge_process(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& environment,
                 const std::string& stderr_path);
  ~bridge_process();
  bridge_process(const bridge_process&) = delete;
  bridge_process& operator=(const bridge_process&) = delete;

  // Writes to the child's standard input; false if the pipe is closed.
  bool write(const bytes& data);
  // Writes `data` from a thread of its own, then closes the input, so that
  // the test can read replies while the bridge is still reading requests.
  void write_in_background(bytes data);
  void close_input();
  void close_output();

  // Reads exactly `count` bytes of the child's standard output, or nullopt
  // when the output ends or `timeout` passes first.
  std::optional<bytes> read_exactly(std::size_t count,
                                    std::chrono::milliseconds timeout = 5000ms);
  // One whole reply frame, or nullopt.
  std::optional<reply> read_reply(std::chrono::milliseconds timeout = 5000ms);
  // True when the child's output ends with no further byte before `timeout`.
  bool output_ends(std::chrono::milliseconds timeout = 5000ms);

  exit_result wait(std::chrono::milliseconds timeout = 5000ms);
  pid_t pid() const { return pid_; }

private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  bool reaped_ = false;
  std::thread writer_;
};

// Little-endian request frames.
bytes frame(const bytes& body);
bytes frame(const std::string& body);
bytes le16(std::uint16_t value);
bytes le32(std::uint32_t value);
template <typename T> std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
bytes open_request(std::uint16_t port, std::uint16_t max_logical_connections,
                   const std::string& host);
bytes profile_request(std::uint32_t controller);
bytes put_request(const bytes& message, const bytes& payload = {});
bytes from_hex(const std::string& hex);
std::string to_hex(const bytes& data);
