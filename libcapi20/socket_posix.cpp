// SPDX-License-Identifier: MIT
// The library's sockets on POSIX: BSD sockets, poll, MSG_NOSIGNAL; only this
// file and socket_windows.cpp know which system they run on.
#include "socket.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>

namespace libcapi20 {

namespace {

int fd_of(socket_handle s) {
  return static_cast<int>(s);
}

long milliseconds_since(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count());
}

// Waits for `events` on `fd` for at most `timeout_ms`; the events that came.
short wait_for(int fd, short events, long timeout_ms) {
  pollfd p = {fd, events, 0};
  int limit = timeout_ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(timeout_ms);
  int ready;
  do
    ready = ::poll(&p, 1, limit);
  while (ready < 0 && errno == EINTR);
  return ready > 0 ? p.revents : 0;
}

bool resolve(const char* host, in_addr& address) {
  if (::inet_pton(AF_INET, host, &address) == 1)
    return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr)
    return false;
  address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  ::freeaddrinfo(found);
  return true;
}

} // namespace

bool sockets_start() {
  return true;
}

socket_handle socket_connect(const char* host, std::uint16_t port, int timeout_ms) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (!resolve(host, address.sin_addr))
    return no_socket;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return no_socket;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    int error = errno;
    socklen_t size = sizeof error;
    if (error != EINPROGRESS || (wait_for(fd, POLLOUT, timeout_ms) & POLLOUT) == 0 ||
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
      ::close(fd);
      return no_socket;
    }
  }
  return fd;
}

bool socket_send_all(socket_handle s, const void* data, std::size_t size, int timeout_ms) {
  const auto* next = static_cast<const char*>(data);
  auto start = std::chrono::steady_clock::now();
  while (size > 0) {
    ssize_t sent = ::send(fd_of(s), next, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      next += sent;
      size -= static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR)
      continue;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
      return false;
    long left = timeout_ms - milliseconds_since(start);
    if (left <= 0 || (wait_for(fd_of(s), POLLOUT, left) & (POLLOUT | POLLERR | POLLHUP)) == 0)
      return false;
  }
  return true;
}

long socket_receive(socket_handle s, void* buffer, std::size_t size) {
  for (;;) {
    ssize_t got = ::recv(fd_of(s), buffer, size, MSG_DONTWAIT);
    if (got > 0)
      return static_cast<long>(got);
    if (got == 0)
      return -1;
    if (errno == EINTR)
      continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

bool socket_has_ended(socket_handle s) {
  char byte;
  ssize_t got;
  do
    got = ::recv(fd_of(s), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  while (got < 0 && errno == EINTR);
  return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

bool socket_wait_readable(socket_handle s, int timeout_ms) {
  return wait_for(fd_of(s), POLLIN, timeout_ms) != 0;
}

void socket_shut_down(socket_handle s) {
  ::shutdown(fd_of(s), SHUT_RDWR);
}

void socket_close(socket_handle s) {
  ::close(fd_of(s));
}

int socket_number(socket_handle s) {
  return fd_of(s);
}

long timeout_milliseconds(const timeval* timeout) {
  if (timeout == nullptr)
    return -1;
  long seconds = timeout->tv_sec < 0 ? 0 : static_cast<long>(timeout->tv_sec);
  long micro = timeout->tv_usec < 0 ? 0 : static_cast<long>(timeout->tv_usec);
  constexpr long longest = 0x7fffffffL / 1000 - 1;
  if (seconds > longest)
    seconds = longest;
  return seconds * 1000 + (micro > 999000 ? 999 : (micro + 999) / 1000);
}

void store_time_left(timeval* timeout, long milliseconds) {
  if (timeout == nullptr)
    return;
  timeout->tv_sec = static_cast<time_t>(milliseconds / 1000);
  timeout->tv_usec = static_cast<suseconds_t>(milliseconds % 1000 * 1000);
}

} // namespace libcapi20
