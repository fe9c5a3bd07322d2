// SPDX-License-Identifier: MIT
// The whole platform surface of the bridge: start-up, the standard streams,
// run-time loading of the CAPI library and the readability test for B3 data.
// Exactly one of platform_posix.cpp and platform_windows.cpp is built.
#pragma once

#include <cstddef>
#include <cstdint>

// Prepares the process for serving. Call once, before anything else.
// POSIX: first opens the null device on whichever of descriptors 0, 1 and 2
// is closed, so that no descriptor the library opens later (its machine-wide
// table of application IDs, a socket) can be taken for a standard stream;
// ignores SIGPIPE (a closed output pipe or a dropped host connection shows up
// as a failed write), SIGINT and SIGHUP (the bridge's life follows its input);
// on SIGTERM, SIGQUIT or the death of its parent process, asks the loop to stop.
// Windows: starts Windows Sockets 2.2 for the library's network driver, puts
// standard input, then standard output, into binary mode, and ignores Ctrl-C
// and Ctrl-Break. Results are not examined.
void platform_start();

// True when standard input is a terminal: a person started the bridge by
// hand.
bool platform_input_is_terminal();

// True once the bridge has been asked to stop (see platform_start). From then
// on standard input reads as ended, and a blocking call into the library is
// interrupted (at least once a second) so that it returns.
bool platform_stop_requested();

// Reads up to `size` bytes of standard input into `buffer`, waiting until at
// least one byte is there. Returns the number of bytes read, 0 at the end of
// the input and -1 on a read error. Interrupted reads are retried.
long platform_read_input(void* buffer, std::size_t size);

// Writes one reply to standard output: `head`, then `data`, then `extra`
// (parts of length 0 are skipped), and hands all of it to the operating system
// before returning. Write errors are not reported: a client that stopped
// reading simply loses its replies.
void platform_write_output(const void* head, std::size_t head_length, const void* data,
                           std::size_t data_length, const void* extra, std::size_t extra_length);

// The file name the CAPI library is loaded by ("libcapi20-3.dll" on Windows,
// Debian's soname "libcapi20.so.3" elsewhere).
extern const char* const capi_library_file_name;

// Loads the library through the platform's ordinary search. Returns an opaque
// handle, or nullptr when the file is missing or cannot be loaded. The library
// is never unloaded.
void* platform_load_library(const char* file_name);

// The address of the entry point `name` in a loaded library, or nullptr.
void* platform_find_symbol(void* library, const char* name);

// The time-interval record of the platform's sockets layer, as
// capi20_waitformessage takes it.
struct timeval;

// A time-out record set afresh to `milliseconds` on each call (0: return
// at once). The library may write into it; the next call sets it again.
timeval* platform_timeout(std::uint32_t milliseconds);

// Sleeps `milliseconds`, or less once `connection` (unless -1) has bytes
// waiting or has ended.
void platform_pause(int connection, std::uint32_t milliseconds);

// Milliseconds on a clock that only goes forward.
std::uint64_t platform_milliseconds();

// True when standard input has a byte to read, or has ended, so that a read
// would not wait. Looks without reading.
bool platform_input_waiting();

// Whether standard input and the library's connection can be waited on
// together: true on POSIX (poll); false on Windows, whose anonymous pipes
// cannot be waited on with a socket, so that a caller waits in slices there.
extern const bool platform_waits_on_connection;

// The library's connection, where capi20_fileno gives it (a descriptor on
// POSIX, a socket handle on Windows). Each does nothing, or fails, when the
// value names no socket.

// Turns Nagle's algorithm off and TCP keepalive on (idle 20 s, then 3 probes
// 5 s apart).
void platform_tend_connection(int connection);

// While `hold`, small sends wait in the kernel until the hold ends (or a
// full segment is ready, or 200 ms pass), so that messages sent one after
// another leave together; ending the hold sends what waits at once. Does
// nothing where the platform has no such option.
void platform_hold_sends(int connection, bool hold);

// What a look at the connection found.
enum class connection_look {
  bytes,     // `count` bytes copied, left unread
  nothing,   // no byte to read yet; the connection is open
  ended,     // the host closed the connection, or it was reset or timed out
  no_socket, // `connection` is nothing this layer can look into
};
struct peek_result {
  connection_look look;
  std::size_t count;
};

// Copies up to `size` bytes waiting on the socket without consuming them and
// without waiting.
peek_result platform_peek(int connection, void* buffer, std::size_t size);

// True when the host has closed its side of the connection, or the
// connection has failed, whatever is still unread: bytes that have arrived
// are then all that will ever come. Windows cannot tell and answers false.
bool platform_peer_closed(int connection);

// Makes the connection poll readable only once `count` bytes are waiting (or
// it ends), so that a wait for the rest of a frame sleeps until it is all
// there; 1 puts it back. Does nothing where the platform has no such mark.
void platform_await_bytes(int connection, std::size_t count);

// Reads and throws away `count` bytes that a look has found waiting, without
// waiting. False when fewer could be read.
bool platform_discard(int connection, std::size_t count);

// Ends both directions of the connection.
void platform_shut_down(int connection);

enum class wake { input, connection, timeout };

// Only where platform_waits_on_connection: waits until standard input has a
// byte to read (or has ended), `connection` is readable (data, or its end),
// or `milliseconds` have passed, and says which; the connection when both
// are ready. A stop asked for meanwhile (platform_stop_requested) reads as
// input.
wake platform_wait(int connection, std::uint32_t milliseconds);

// True when all `size` bytes from `address` can be read without a fault. The
// test touches one byte of each page the range covers and keeps none of them;
// an unreadable page makes it return false, never fault.
// A null address is never readable; size 0 at a non-null address is.
bool platform_is_readable(const void* address, std::size_t size);
