// SPDX-License-Identifier: MIT
// The platform layer on Windows: the C runtime's standard streams in binary
// mode, Windows Sockets for the library's network driver, LoadLibraryA and
// IsBadReadPtr. Nothing POSIX-specific.
#include "platform/platform.hpp"

// winsock2.h must come before windows.h, which would pull in the older
// winsock.h otherwise.
#include <winsock2.h>
// After winsock2.h: the keepalive times of SIO_KEEPALIVE_VALS.
#include <mstcpip.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

const char* const capi_library_file_name = "libcapi20-3.dll";

namespace {

// A console's Ctrl-C and Ctrl-Break are for the client; the bridge ends with
// its input. Other events (the console closed, log-off) take their course.
BOOL WINAPI on_console_event(DWORD event) {
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? TRUE : FALSE;
}

} // namespace

void platform_start() {
  SetConsoleCtrlHandler(on_console_event, TRUE);
  // The library's driver opens TCP sockets but leaves starting Winsock to
  // its host process.
  WSADATA winsock;
  WSAStartup(0x0202, &winsock);
  // In text mode the runtime would turn 0x0A into 0x0D 0x0A on output and
  // stop reading input at 0x1A.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

bool platform_input_is_terminal() {
  return _isatty(_fileno(stdin)) != 0;
}

// Windows has no signal that asks a console program to stop; a client that
// ends takes the bridge's input with it.
bool platform_stop_requested() {
  return false;
}

long platform_read_input(void* buffer, std::size_t size) {
  // _read takes an unsigned count; a short read is allowed anyway.
  unsigned count = size < 0x40000000 ? static_cast<unsigned>(size) : 0x40000000u;
  return _read(_fileno(stdin), buffer, count);
}

void platform_write_output(const void* head, std::size_t head_length, const void* data,
                           std::size_t data_length, const void* extra, std::size_t extra_length) {
  // Writing to a pipe nobody reads fails with an error (Windows has no
  // SIGPIPE), which the stream records and we leave alone.
  std::fwrite(head, 1, head_length, stdout);
  if (data_length > 0)
    std::fwrite(data, 1, data_length, stdout);
  if (extra_length > 0)
    std::fwrite(extra, 1, extra_length, stdout);
  std::fflush(stdout);
}

void* platform_load_library(const char* file_name) {
  return LoadLibraryA(file_name);
}

void* platform_find_symbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

bool platform_is_readable(const void* address, std::size_t size) {
  return address != nullptr && IsBadReadPtr(address, size) == 0;
}

timeval* platform_timeout(std::uint32_t milliseconds) {
  static timeval record;
  record = {static_cast<long>(milliseconds / 1000), static_cast<long>(milliseconds % 1000 * 1000)};
  return &record;
}

void platform_pause(int connection, std::uint32_t milliseconds) {
  if (connection >= 0) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(connection), &readable);
    // Anything but a socket fails at once, and the pause is slept instead.
    if (select(0, &readable, nullptr, nullptr, platform_timeout(milliseconds)) != SOCKET_ERROR)
      return;
  }
  Sleep(milliseconds);
}

std::uint64_t platform_milliseconds() {
  return GetTickCount64();
}

bool platform_input_waiting() {
  // Standard input that is not a pipe (a file, the null device) or a pipe
  // whose writer has gone never makes a read wait. A pipe that cannot be
  // looked into (under Wine, a Unix pipe from a Unix parent) counts as
  // ready too: a wait then ends early rather than miss the client's write.
  DWORD available = 0;
  if (!PeekNamedPipe(GetStdHandle(STD_INPUT_HANDLE), nullptr, 0, nullptr, &available, nullptr))
    return true;
  return available > 0;
}

// The value capi20_fileno gives is taken for a socket handle; calls on
// anything else fail with WSAENOTSOCK and change nothing.
void platform_tend_connection(int connection) {
  auto socket = static_cast<SOCKET>(connection);
  const BOOL on = TRUE;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  // Keepalive after 20 s of silence, probes 5 s apart (Windows sends 10).
  tcp_keepalive times = {1, 20000, 5000};
  DWORD returned = 0;
  WSAIoctl(socket, SIO_KEEPALIVE_VALS, &times, sizeof times, nullptr, 0, &returned, nullptr,
           nullptr);
}

// Windows has no option that holds sends and releases them on demand.
void platform_hold_sends(int, bool) {}

peek_result platform_peek(int connection, void* buffer, std::size_t size) {
  auto socket = static_cast<SOCKET>(connection);
  u_long waiting = 0;
  if (ioctlsocket(socket, FIONREAD, &waiting) != 0)
    return {connection_look::no_socket, 0};
  if (waiting == 0) {
    // recv would wait while nothing is there. A socket that reads as ready
    // has ended, or has had bytes arrive since the count; counted again,
    // it still has none only if it has ended.
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval now = {0, 0};
    if (select(0, &readable, nullptr, nullptr, &now) != 1)
      return {connection_look::nothing, 0};
    if (ioctlsocket(socket, FIONREAD, &waiting) != 0 || waiting == 0)
      return {connection_look::ended, 0};
  }
  int count = size < waiting ? static_cast<int>(size) : static_cast<int>(waiting);
  int got = recv(socket, static_cast<char*>(buffer), count, MSG_PEEK);
  if (got <= 0)
    return {connection_look::ended, 0};
  return {connection_look::bytes, static_cast<std::size_t>(got)};
}

bool platform_peer_closed(int) {
  return false;
}

void platform_await_bytes(int, std::size_t) {}

bool platform_discard(int connection, std::size_t count) {
  auto socket = static_cast<SOCKET>(connection);
  char sink[512];
  while (count > 0) {
    int got = recv(socket, sink, count < sizeof sink ? static_cast<int>(count) : sizeof sink, 0);
    if (got <= 0)
      return false;
    count -= static_cast<std::size_t>(got);
  }
  return true;
}

void platform_shut_down(int connection) {
  shutdown(static_cast<SOCKET>(connection), SD_BOTH);
}

const bool platform_waits_on_connection = false;

// Never called: platform_waits_on_connection is false here.
wake platform_wait(int, std::uint32_t) {
  return wake::timeout;
}
