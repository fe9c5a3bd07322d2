// SPDX-License-Identifier: MIT
// Reply writing and buffered reading of the request stream.
#include "bridge/frames.hpp"

#include "platform/platform.hpp"

#include <cstring>

void send_reply(std::uint32_t info, const void* data, std::size_t data_length, const void* extra,
                std::size_t extra_length) {
  std::uint8_t head[8];
  put_le32(head, static_cast<std::uint32_t>((4 + data_length + extra_length) & 0xFFFFFF));
  put_le32(head + 4, info);
  platform_write_output(head, sizeof head, data, data_length, extra, extra_length);
}

namespace {

// Bytes of standard input read ahead of the request being served.
std::uint8_t read_ahead[64 * 1024];
std::size_t read_ahead_start = 0;
std::size_t read_ahead_end = 0;

// Reads exactly `size` bytes into `buffer`; false when the input ends or
// fails first.
bool read_input_exactly(void* buffer, std::size_t size) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  while (size > 0) {
    if (read_ahead_start == read_ahead_end) {
      // A large body goes straight into its destination: no second copy.
      bool direct = size >= sizeof read_ahead;
      long got = direct ? platform_read_input(out, size)
                        : platform_read_input(read_ahead, sizeof read_ahead);
      if (got <= 0)
        return false;
      auto count = static_cast<std::size_t>(got);
      if (direct) {
        out += count;
        size -= count;
        continue;
      }
      read_ahead_start = 0;
      read_ahead_end = count;
    }
    std::size_t take = read_ahead_end - read_ahead_start;
    if (take > size)
      take = size;
    std::memcpy(out, read_ahead + read_ahead_start, take);
    read_ahead_start += take;
    out += take;
    size -= take;
  }
  return true;
}

} // namespace

const std::uint8_t* read_input_in_place(std::uint8_t* buffer, std::size_t size) {
  // Most length fields and bodies, pipelined ones above all, arrive whole in
  // the read-ahead: they are served from there without a copy.
  if (read_ahead_end - read_ahead_start >= size) {
    const std::uint8_t* body = read_ahead + read_ahead_start;
    read_ahead_start += size;
    return body;
  }
  return read_input_exactly(buffer, size) ? buffer : nullptr;
}

bool input_read_ahead() {
  return read_ahead_end != read_ahead_start;
}

bool put_read_ahead() {
  return read_ahead_end - read_ahead_start > 4 && read_ahead[read_ahead_start + 4] == 'M';
}

bool client_has_written() {
  return input_read_ahead() || platform_input_waiting() || platform_stop_requested();
}

void discard_read_ahead() {
  read_ahead_start = read_ahead_end = 0;
}
