// SPDX-License-Identifier: MIT
// The request loop and its dispatch on the kind letter.
#include "bridge/loop.hpp"

#include "bridge/frames.hpp"
#include "capi/connection.hpp"
#include "capi/handlers.hpp"
#include "platform/platform.hpp"

#include <cstdlib>

namespace {

// One buffer for every request body; it grows to the largest body read and
// is kept for the life of the process. A body that arrives whole in the
// read-ahead is served from there, but the buffer grows for it all the same.
std::uint8_t* request_buffer = nullptr;
std::uint32_t request_capacity = 0;

bool make_room(std::uint32_t length) {
  if (length <= request_capacity)
    return true;
  std::free(request_buffer);
  request_buffer = static_cast<std::uint8_t*>(std::malloc(length));
  request_capacity = request_buffer != nullptr ? length : 0;
  return request_buffer != nullptr;
}

} // namespace

void serve_requests() {
  // A stop asked for by a signal ends the loop like the end of the input,
  // even with requests read ahead.
  while (!platform_stop_requested()) {
    std::uint8_t length_buffer[4];
    const std::uint8_t* length_field = read_input_in_place(length_buffer, sizeof length_buffer);
    if (length_field == nullptr)
      break;
    std::uint32_t length = get_le32(length_field);
    // Unsigned wrap-around: one test rejects both 0 and anything above the limit.
    if (length - 1 > max_request_length - 1)
      break;
    if (!make_room(length))
      break;
    const std::uint8_t* body = read_input_in_place(request_buffer, length);
    if (body == nullptr)
      break;

    switch (body[0]) {
    case 'B':
      handle_batch(body, length);
      break;
    case 'C':
      handle_close(body, length);
      return;
    case 'G':
      handle_get(body, length);
      break;
    case 'I':
      handle_installed(body, length);
      break;
    case 'M':
      handle_put(body, length);
      break;
    case 'O':
      handle_open(body, length);
      break;
    case 'P':
      handle_profile(body, length);
      break;
    case 'R':
      handle_registration(body, length);
      break;
    case 'W':
      handle_wait(body, length);
      break;
    default:
      send_reply(info_illegal_command);
      break;
    }
    // Messages put one after another leave together; before the bridge
    // serves anything else, or may wait for its input, they leave. (Any
    // other request would let them go at once: holding them for it would
    // cost two system calls for nothing.)
    hold_sends(put_read_ahead());
  }
  end_application();
}
