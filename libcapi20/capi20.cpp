// SPDX-License-Identifier: MIT
// The exported entry points: the configuration the three setters give, the
// control connection, and this process's table of applications.
#include "entry_points.hpp"

#include "application.hpp"
#include "socket.hpp"
#include "wire.hpp"

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace cf = capi_fields;
using namespace libcapi20;

namespace {

// How long a connection, and the reply to a request of the library's own,
// may take.
constexpr int connect_time_out_ms = 10000;
constexpr int reply_time_out_ms = 5000;

const char driver_name[] = "fritzbox";
// The fixed answers: the driver's version and serial number, and this
// project's name where the driver names its maker.
const char manufacturer[] = "capi-bridge";
const std::uint32_t version[4] = {2, 0, 0, 5};
const char serial_number[] = "0004711";

// Guards the configuration and the control connection.
std::mutex library_lock;
std::string configured_driver;
std::string configured_host;
int configured_port = -1;
socket_handle control = no_socket;

std::mutex table_lock;
std::map<unsigned, std::shared_ptr<application>> applications;

std::shared_ptr<application> find_application(unsigned appl_id) {
  std::lock_guard<std::mutex> hold(table_lock);
  auto found = applications.find(appl_id);
  return found == applications.end() ? nullptr : found->second;
}

bool is_our_driver(const std::string& name) {
  if (name.empty())
    return true;
  if (name.size() != sizeof driver_name - 1)
    return false;
  for (std::size_t i = 0; i < name.size(); ++i)
    if ((name[i] | 0x20) != driver_name[i])
      return false;
  return true;
}

void close_control() {
  if (control != no_socket)
    socket_close(control);
  control = no_socket;
}

// With library_lock held: the control connection open, or why not. A
// control connection the host has closed is opened again.
unsigned installed() {
  if (control != no_socket && socket_has_ended(control))
    close_control();
  if (control != no_socket)
    return info_ok;
  if (!sockets_start() || !is_our_driver(configured_driver) || configured_host.empty() ||
      configured_port < 1 || configured_port > 0xffff)
    return info_not_installed;
  control = socket_connect(configured_host.c_str(), static_cast<std::uint16_t>(configured_port),
                           connect_time_out_ms);
  return control == no_socket ? info_not_installed : info_ok;
}

// Receives exactly `size` bytes, waiting until `deadline` at the most.
bool receive_exactly(socket_handle s, std::uint8_t* into, std::size_t size,
                     std::chrono::steady_clock::time_point deadline) {
  while (size > 0) {
    long got = socket_receive(s, into, size);
    if (got < 0)
      return false;
    if (got > 0) {
      into += got;
      size -= static_cast<std::size_t>(got);
      continue;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0)
      return false;
    socket_wait_readable(s, static_cast<int>(left));
  }
  return true;
}

// Sends one of the library's own requests and receives its reply's body
// into `body` (256 bytes); its length, or 0 when none came whole in time.
std::size_t request(socket_handle s, const std::uint8_t* frame, std::size_t size,
                    std::uint8_t* body) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(reply_time_out_ms);
  std::uint8_t header[reply_header_size];
  if (!socket_send_all(s, frame, size, reply_time_out_ms) ||
      !receive_exactly(s, header, sizeof header, deadline) ||
      !receive_exactly(s, body, header[1], deadline))
    return 0;
  return header[1];
}

// Throws away whatever the host has sent on the control connection unasked.
void drain(socket_handle s) {
  std::uint8_t waste[256];
  while (socket_receive(s, waste, sizeof waste) > 0) {
  }
}

template <std::size_t size> unsigned char* fixed_answer(unsigned char* buffer, const void* answer) {
  std::lock_guard<std::mutex> hold(library_lock);
  if (buffer == nullptr || installed() != info_ok)
    return nullptr;
  std::memcpy(buffer, answer, size);
  return buffer;
}

} // namespace

extern "C" {

unsigned capi20_isinstalled(void) {
  std::lock_guard<std::mutex> hold(library_lock);
  return installed();
}

void capi20ext_set_driver(char* driver) {
  std::lock_guard<std::mutex> hold(library_lock);
  configured_driver = driver == nullptr ? "" : driver;
}

void capi20ext_set_host(char* host) {
  std::lock_guard<std::mutex> hold(library_lock);
  configured_host = host == nullptr ? "" : host;
}

void capi20ext_set_port(int port) {
  std::lock_guard<std::mutex> hold(library_lock);
  configured_port = port;
}

unsigned capi20_register(unsigned max_logical_connections, unsigned max_b_data_blocks,
                         unsigned max_b_data_length, unsigned* appl_id) {
  if (appl_id == nullptr)
    return info_os_resource_error;
  *appl_id = 0;
  std::string host;
  int port = 0;
  {
    std::lock_guard<std::mutex> hold(library_lock);
    if (installed() != info_ok)
      return info_not_installed;
    host = configured_host;
    port = configured_port;
  }
  socket_handle s =
      socket_connect(host.c_str(), static_cast<std::uint16_t>(port), connect_time_out_ms);
  if (s == no_socket)
    return info_os_resource_error;
  std::uint8_t frame[register_request_size];
  build_register_request(frame, max_logical_connections, max_b_data_blocks, max_b_data_length);
  std::uint8_t body[256] = {};
  std::size_t length = request(s, frame, sizeof frame, body);
  unsigned id = cf::get_le16(body + reply_appl_id);
  if (length < register_reply_size || cf::get_le16(body + reply_info) != 0 || id < lowest_appl_id ||
      id > highest_appl_id) {
    socket_close(s);
    return info_os_resource_error;
  }
  auto app = std::make_shared<application>(s, id, max_logical_connections, max_b_data_blocks,
                                           max_b_data_length);
  std::lock_guard<std::mutex> hold(table_lock);
  // Two hosts may hand out the same ID; the second cannot be told apart.
  if (!applications.emplace(id, app).second) {
    release_application(*app);
    return info_os_resource_error;
  }
  *appl_id = id;
  return info_ok;
}

unsigned capi20_release(unsigned appl_id) {
  std::shared_ptr<application> app;
  {
    std::lock_guard<std::mutex> hold(table_lock);
    auto found = applications.find(appl_id);
    if (found == applications.end())
      return info_illegal_appl_id;
    app = found->second;
    applications.erase(found);
  }
  release_application(*app);
  std::lock_guard<std::mutex> hold(library_lock);
  close_control();
  return info_ok;
}

unsigned capi20_put_message(unsigned appl_id, unsigned char* message) {
  std::shared_ptr<application> app = find_application(appl_id);
  return app == nullptr ? info_illegal_appl_id : put_message(*app, message);
}

unsigned capi20_get_message(unsigned appl_id, unsigned char** message) {
  std::shared_ptr<application> app = find_application(appl_id);
  return app == nullptr ? info_illegal_appl_id : get_message(*app, message);
}

unsigned capi20_waitformessage(unsigned appl_id, struct timeval* timeout) {
  std::shared_ptr<application> app = find_application(appl_id);
  return app == nullptr ? info_illegal_appl_id : wait_for_message(*app, timeout);
}

unsigned capi20_get_profile(unsigned controller, unsigned char* profile) {
  std::lock_guard<std::mutex> hold(library_lock);
  if (installed() != info_ok)
    return info_message_not_installed;
  if (profile == nullptr)
    return info_host_gone;
  drain(control);
  std::uint8_t frame[profile_request_size];
  build_profile_request(frame, controller);
  std::uint8_t body[256] = {};
  if (request(control, frame, sizeof frame, body) < profile_offset + profile_size) {
    // Whatever comes late must not be taken for the next reply.
    close_control();
    return info_host_gone;
  }
  std::memcpy(profile, body + profile_offset, profile_size);
  return info_ok;
}

unsigned char* capi20_get_manufacturer(unsigned, unsigned char* buffer) {
  return fixed_answer<sizeof manufacturer>(buffer, manufacturer);
}

unsigned char* capi20_get_version(unsigned, unsigned char* buffer) {
  return fixed_answer<sizeof version>(buffer, version);
}

unsigned char* capi20_get_serial_number(unsigned, unsigned char* buffer) {
  return fixed_answer<sizeof serial_number>(buffer, serial_number);
}

int capi20_fileno(unsigned appl_id) {
  std::shared_ptr<application> app = find_application(appl_id);
  return app == nullptr ? -1 : socket_number(app->connection);
}
}
