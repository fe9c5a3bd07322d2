// SPDX-License-Identifier: MIT
// The library's whole platform surface: TCP sockets and the time-out record
// of capi20_waitformessage. Exactly one of socket_posix.cpp and
// socket_windows.cpp is built.
#pragma once

#include <cstddef>
#include <cstdint>

struct timeval;

namespace libcapi20 {

// A connected socket: a descriptor on POSIX, a SOCKET on Windows.
using socket_handle = std::intptr_t;
constexpr socket_handle no_socket = -1;

// Readies the sockets layer (Windows Sockets 2.2, started once per process
// and never stopped; nothing on POSIX). False when it cannot be used.
bool sockets_start();

// Connects to `host` (a numeric IPv4 address, or a name to resolve) at
// `port`, waiting at most `timeout_ms` for the connection. Returns the
// socket, set not to block and with Nagle's algorithm off, or no_socket.
socket_handle socket_connect(const char* host, std::uint16_t port, int timeout_ms);

// Sends all `size` bytes, waiting while the system's send buffer is full,
// `timeout_ms` at the most in all. True when all of them went out; false on
// an error, the connection's end or the time-out, after which part of them
// may have gone. Never raises SIGPIPE.
bool socket_send_all(socket_handle s, const void* data, std::size_t size, int timeout_ms);

// Receives up to `size` bytes (at least 1) without waiting. Returns how many
// came (> 0), 0 when none is waiting, -1 when the connection has ended: the
// host closed it, it was reset, or it failed.
long socket_receive(socket_handle s, void* buffer, std::size_t size);

// True when the connection has ended, without reading anything and without
// waiting; bytes still waiting count as not ended.
bool socket_has_ended(socket_handle s);

// Waits until `s` has something to read (or has ended), or `timeout_ms`
// have passed. True when it is readable.
bool socket_wait_readable(socket_handle s, int timeout_ms);

// Ends both directions, so that the host sees the end and a wait on the
// socket in another thread returns; the handle stays valid.
void socket_shut_down(socket_handle s);
void socket_close(socket_handle s);

// The value capi20_fileno gives for `s`: the descriptor, or the SOCKET as
// an int (Windows socket handles fit in 32 bits).
int socket_number(socket_handle s);

// capi20_waitformessage's time-out in milliseconds: -1 for a null record
// (no limit); a negative field counts as 0.
long timeout_milliseconds(const timeval* timeout);

// Writes the time that is left into the record, as select does on Linux.
void store_time_left(timeval* timeout, long milliseconds);

} // namespace libcapi20
