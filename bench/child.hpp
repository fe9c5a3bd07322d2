// SPDX-License-Identifier: MIT
// Child processes for the benchmark: a program started with pipes on its
// standard streams, what the kernel counts for it, and the request flows that
// a measuring client drives through such a pipe pair.
#pragma once

#include "capi_bridge/process.hpp"

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using bytes = std::vector<std::uint8_t>;

// The client library's child process; every wait of the benchmark's on it
// gives up after a minute, failing the benchmark.
using child = capi_bridge::child_process;
// How long the benchmark waits for a child at the most.
inline constexpr std::chrono::milliseconds child_patience{60000};

// Starts `argv` with pipes on standard input and output, standard error
// discarded, `set` added to the environment and `unset` taken out. Exits the
// benchmark with a message when the program cannot be started.
child start_child(const std::vector<std::string>& argv,
                  const std::vector<std::pair<std::string, std::string>>& set,
                  const std::vector<std::string>& unset = {});

// Closes the child's input, drains its output, and waits for it to end.
// Returns its exit status, or 128 + the signal that ended it.
int finish_child(child& c);

// Read and write system calls the child has made so far (/proc/<pid>/io),
// and the times it gave up the CPU waiting or was made to (/proc/<pid>/status).
struct io_calls {
  std::uint64_t reads = 0;
  std::uint64_t writes = 0;
  std::uint64_t waits = 0;
  std::uint64_t preemptions = 0;
  std::uint64_t cpu_ns = 0; // time on a CPU (/proc/<pid>/schedstat)
};
io_calls child_io_calls(long pid);

// A field of /proc/<pid>/status in KiB ("VmHWM", "VmRSS"), or 0.
std::uint64_t child_status_field(long pid, const char* field);

// Request frames, built with the client library and capimsg.
bytes frame(const bytes& body);
bytes open_frame(const std::string& host, std::uint16_t port);
bytes get_frame();
bytes put_frame(const bytes& message, const bytes& payload = {});
bytes listen_req();
bytes data_b3_req(std::uint32_t ncci, std::uint16_t handle, std::uint16_t length);
bytes data_b3_resp(std::uint32_t ncci, std::uint16_t handle);

// Writes `data` whole to the child's input; false when it stops reading.
bool write_all(child& c, const std::uint8_t* data, std::size_t size);
// Reads what the child's output holds, up to `size` bytes, waiting for the
// first; 0 when the output has ended.
std::size_t read_some(child& c, std::uint8_t* data, std::size_t size);

// Reads one whole reply; returns its info and puts info, data and extra into
// `body` (without the length field). Exits the benchmark when the child's
// output ends first.
std::uint32_t read_reply(child& c, bytes& body);

// The request flows a client drives.
enum class flow_kind {
  repeat, // the same request again for each reply
  b3_out, // Put of DATA_B3_REQ and Get of its DATA_B3_CONF, Data handles 0..6 in turn
  b3_in,  // Get of DATA_B3_IND, each answered with Put of DATA_B3_RESP
};

struct flow {
  flow_kind kind = flow_kind::repeat;
  bytes request;      // repeat: the frame sent again and again
  unsigned depth = 1; // repeat: requests in flight; B3 flows: blocks in flight (1..7)
  std::uint16_t b3_size = 2048;
  std::uint32_t expected_info = 0; // repeat: each reply's info (checked only when `check`)
  bool check = false;              // check replies (the bridge); the baseline's are canned
};

struct flow_result {
  std::uint64_t units = 0; // repeat: replies; B3 flows: blocks moved
  std::uint64_t requests = 0;
  std::uint64_t bytes_moved = 0; // B3 payload bytes
  double seconds = 0;
};

// Drives `f` through `c` until `seconds` have passed (when above 0) or
// `units` units are done, then lets every request in flight finish. Reads
// all replies that are there in one read and writes all requests it can send
// in one write. Exits the benchmark on a reply that fails its check.
flow_result run_flow(child& c, const flow& f, double seconds, std::uint64_t units);
