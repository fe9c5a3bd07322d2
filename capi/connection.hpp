// SPDX-License-Identifier: MIT
// Looking after the library's connection to its host where the library does
// not: socket options after registration, and a look at each frame before
// the library reads it. Needs the optional capi20_fileno; without it, or
// when its descriptor is no socket, everything here does nothing.
#pragma once

// After a successful registration: Nagle's algorithm off (the driver sends
// each message with a send of its own, and a small one would wait for the
// host's delayed acknowledgement) and TCP keepalive on, so that a host that
// vanishes without closing the connection shows as a closed connection
// within about half a minute (idle 20 s, then 3 probes 5 s apart).
void tend_connection();

enum class next_frame {
  unknown,    // no connection to look at: the library reads as it will
  complete,   // the library can read the next frame without waiting
  incomplete, // part of a frame has arrived: the library would block on it
  unusable,   // a frame the library cannot take; the connection is shut down
};

// What the library would read next from the registered application's
// connection, without consuming it. A frame longer than the driver reads
// into its 4,096-byte stack buffer, or a DATA_B3_IND whose data the driver
// would move past its 2,176-byte message buffer, makes the connection
// unusable: it is shut down at once, so that the library sees it ended, and
// stays unusable (the library is never to read from it again) until the
// next registration.
next_frame inspect_next_frame();
