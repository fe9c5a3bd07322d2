// SPDX-License-Identifier: MIT
// The library's sockets on Windows: Windows Sockets 2.2 and select; only
// this file and socket_posix.cpp know which system they run on.
#include "socket.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <mutex>

namespace libcapi20 {

namespace {

SOCKET socket_of(socket_handle s) {
  return static_cast<SOCKET>(s);
}

long milliseconds_since(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count());
}

// Waits until `s` is readable (or, with `for_writing`, writable or failed)
// for at most `timeout_ms`.
bool wait_for(SOCKET s, bool for_writing, long timeout_ms) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(s, &ready);
  FD_SET(s, &failed);
  timeval limit = {static_cast<long>(timeout_ms / 1000),
                   static_cast<long>(timeout_ms % 1000 * 1000)};
  int count = for_writing ? select(0, nullptr, &ready, &failed, &limit)
                          : select(0, &ready, nullptr, &failed, &limit);
  return count > 0;
}

bool would_block() {
  return WSAGetLastError() == WSAEWOULDBLOCK;
}

bool resolve(const char* host, in_addr& address) {
  if (inet_pton(AF_INET, host, &address) == 1)
    return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr)
    return false;
  address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

} // namespace

bool sockets_start() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    WSADATA data;
    started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  return started;
}

socket_handle socket_connect(const char* host, std::uint16_t port, int timeout_ms) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (!resolve(host, address.sin_addr))
    return no_socket;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET)
    return no_socket;
  u_long on = 1;
  BOOL nodelay = TRUE;
  ioctlsocket(s, FIONBIO, &on);
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&nodelay), sizeof nodelay);
  if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    int error = 0;
    int size = sizeof error;
    if (!would_block() || !wait_for(s, true, timeout_ms) ||
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0 ||
        error != 0) {
      closesocket(s);
      return no_socket;
    }
  }
  return static_cast<socket_handle>(s);
}

bool socket_send_all(socket_handle s, const void* data, std::size_t size, int timeout_ms) {
  const auto* next = static_cast<const char*>(data);
  auto start = std::chrono::steady_clock::now();
  while (size > 0) {
    int piece = size < 0x40000000 ? static_cast<int>(size) : 0x40000000;
    int sent = send(socket_of(s), next, piece, 0);
    if (sent > 0) {
      next += sent;
      size -= static_cast<std::size_t>(sent);
      continue;
    }
    if (sent == SOCKET_ERROR && !would_block())
      return false;
    long left = timeout_ms - milliseconds_since(start);
    if (left <= 0 || !wait_for(socket_of(s), true, left))
      return false;
  }
  return true;
}

long socket_receive(socket_handle s, void* buffer, std::size_t size) {
  int piece = size < 0x40000000 ? static_cast<int>(size) : 0x40000000;
  int got = recv(socket_of(s), static_cast<char*>(buffer), piece, 0);
  if (got > 0)
    return got;
  if (got == 0)
    return -1;
  return would_block() ? 0 : -1;
}

bool socket_has_ended(socket_handle s) {
  char byte;
  int got = recv(socket_of(s), &byte, 1, MSG_PEEK);
  return got == 0 || (got == SOCKET_ERROR && !would_block());
}

bool socket_wait_readable(socket_handle s, int timeout_ms) {
  return wait_for(socket_of(s), false, timeout_ms);
}

void socket_shut_down(socket_handle s) {
  shutdown(socket_of(s), SD_BOTH);
}

void socket_close(socket_handle s) {
  closesocket(socket_of(s));
}

int socket_number(socket_handle s) {
  return static_cast<int>(s);
}

long timeout_milliseconds(const timeval* timeout) {
  if (timeout == nullptr)
    return -1;
  long seconds = timeout->tv_sec < 0 ? 0 : timeout->tv_sec;
  long micro = timeout->tv_usec < 0 ? 0 : timeout->tv_usec;
  constexpr long longest = 0x7fffffffL / 1000 - 1;
  if (seconds > longest)
    seconds = longest;
  return seconds * 1000 + (micro > 999000 ? 999 : (micro + 999) / 1000);
}

void store_time_left(timeval* timeout, long milliseconds) {
  if (timeout == nullptr)
    return;
  timeout->tv_sec = milliseconds / 1000;
  timeout->tv_usec = milliseconds % 1000 * 1000;
}

} // namespace libcapi20
