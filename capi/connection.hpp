// SPDX-License-Identifier: MIT
// Looking after the library's connection to its host where the library does
// not: socket options after registration, a look at each frame before the
// library reads it, and what the bridge knows once the connection has ended.
// Needs the optional capi20_fileno; without it, or when its descriptor is no
// socket, every look answers next_frame::unknown and the library is asked as
// it always was.
#pragma once

// After a successful registration: takes the application's connection from
// capi20_fileno once (the library's machine-wide table, where it looks the
// descriptor up on every call, may later name another process's), and sets
// Nagle's algorithm off (the driver sends each message with a send of its
// own, and a small one would wait for the host's delayed acknowledgement)
// and TCP keepalive on, so that a host that vanishes without closing the
// connection shows as an ended connection within about 35 s while it sends
// nothing (idle 20 s, then 3 probes 5 s apart; a user time-out of 35 s for
// unacknowledged data).
void take_connection();

// Holds the application's messages back in the kernel while `hold`, and
// sends what is held when the hold ends (see platform_hold_sends); a
// system call only when that changes. Nothing without a connection.
void hold_sends(bool hold);

enum class next_frame {
  unknown,    // no socket to look at: ask the library whether a message waits
  nothing,    // no byte of a frame has arrived
  incomplete, // part of a frame has arrived: the library would block on it
  complete,   // the library can read the next frame whole without waiting
  dropped,    // a frame too short to hold a CAPI message, or whose message
              // claims more than the frame or the library's buffer holds, was
              // taken off the connection unread by the library
  gone,       // the connection has ended, or carried a frame the library
              // cannot take and was shut down
};

// What the library would read next from the registered application's
// connection. Reads nothing but a dropped frame, and never waits.
//  - A frame that has arrived in part makes the connection poll readable only
//    once the whole frame is there (or the connection ends), so that a wait
//    for the rest costs nothing; a part after which the host has closed is
//    the connection's end.
//  - A frame longer than the driver reads into its 4,096-byte stack buffer,
//    or a DATA_B3_IND whose data the driver would move past its 2,176-byte
//    message buffer, shuts the connection down at once.
//  - Once gone, always gone, until the next registration.
next_frame inspect_next_frame();

// The registered application's connection to wait on, -1 when there is
// none to look at (or it is gone).
int watched_connection();

// True when a look has found that the registered application's connection
// has ended (the host closed it, it was reset or timed out) or has shut it
// down. The host may then have given the application's ID to another
// application already. Costs no system call.
bool connection_gone();

// The library has shown the connection's end itself: it said a message was
// ready and then had none to give, or it could not send a message (0x1108).
// From now on the connection is gone.
void connection_ended();

// Ends the registered application: releases it with the library while its
// connection may still be alive, and otherwise only forgets it; a last look
// tells whether the host has closed its side meanwhile. After the
// connection has ended, a release would free the ID in the library's
// machine-wide table, where another process's application may hold it by
// now (hosts hand out a freed ID again), and break that application.
void end_application();

// Forgets everything about the connection, for a driver that runs the
// request loop more than once in one process.
void reset_connection();
