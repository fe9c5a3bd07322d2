// SPDX-License-Identifier: MIT
// One registered application: its connection to the host, the frame being
// received from it, and the buffers of the DATA_B3_INDs its caller holds.
//
// Threading: every field but `id` and `connection` is guarded by `lock`;
// the functions below take it themselves. The application lives as long as
// any call holds its shared_ptr; its connection is closed with it.
#pragma once

#include "socket.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

struct timeval;

namespace libcapi20 {

// A receive buffer that may hold a DATA_B3_IND for the caller; its index is
// the DataHandle the caller sees.
struct data_buffer {
  bool held = false;
  std::uint16_t host_handle = 0; // the DataHandle the host sent
  std::uint32_t ncci = 0;
  std::vector<std::uint8_t> bytes; // allocated on first use, kept until release
};

struct application {
  application(socket_handle connection, unsigned id, unsigned max_logical_connections,
              unsigned max_b_data_blocks, unsigned max_b_data_length);
  ~application();
  application(const application&) = delete;
  application& operator=(const application&) = delete;

  const unsigned id;
  const socket_handle connection;
  std::mutex lock;

  bool released = false;
  bool ended = false; // the connection has ended, or was shut down
  std::size_t buffer_size;
  std::size_t data_buffer_limit;
  std::vector<data_buffer> data_buffers;
  // Any other message goes out in one of these, in turn.
  std::array<std::vector<std::uint8_t>, 4> recent;
  std::size_t next_recent = 0;

  // The frame being received: header and payload; its length once known.
  std::vector<std::uint8_t> frame;
  std::size_t frame_have = 0;
  // Bytes of a frame larger than the buffers, still to be thrown away.
  std::size_t skip_left = 0;
  bool drop_unreported = false;

  std::vector<std::uint8_t> send_frame;
};

// As capi20_put_message, capi20_get_message and capi20_waitformessage say
// (entry_points.hpp), for this application.
unsigned put_message(application& app, const unsigned char* message);
unsigned get_message(application& app, unsigned char** message);
unsigned wait_for_message(application& app, timeval* timeout);

// Sends the release request if the connection can take it at once, and
// ends the connection. Later calls for the application answer 0x1101.
void release_application(application& app);

} // namespace libcapi20
