// SPDX-License-Identifier: MIT
// The entry points this libcapi20 exports, with Debian's libcapi20's names
// and signatures, for its own sources and its tests.
//
// Threading: every entry point may be called from any thread. Calls for
// different applications run side by side; calls for one application are
// taken one at a time (capi20_waitformessage lets others in while it waits).
// The configuration and the control connection are shared and locked.
#pragma once

struct timeval;

#ifndef LIBCAPI20_EXPORT
#define LIBCAPI20_EXPORT
#endif

extern "C" {

// 0 once the host configured with the three setters accepts a connection
// (the control connection, kept open until the next capi20_release);
// 0x1009 when no host is configured, the driver is not "fritzbox" (or
// empty), or the host cannot be reached.
LIBCAPI20_EXPORT unsigned capi20_isinstalled(void);

// Each copies what it is given: the driver's name ("fritzbox"; empty means
// the same), the host (a numeric IPv4 address or a name), the TCP port
// (1..65535). Each takes effect at the next connection.
LIBCAPI20_EXPORT void capi20ext_set_driver(char* driver);
LIBCAPI20_EXPORT void capi20ext_set_host(char* host);
LIBCAPI20_EXPORT void capi20ext_set_port(int port);

// Registers an application on a connection of its own and stores the ID the
// host assigns (1..1023) in *appl_id, 0 on failure. 0x1009: not installed;
// 0x1008: no connection, no whole reply within 5 s, a refusal, an ID out of
// range or already held by an application of this process.
LIBCAPI20_EXPORT unsigned capi20_register(unsigned max_logical_connections,
                                          unsigned max_b_data_blocks, unsigned max_b_data_length,
                                          unsigned* appl_id);

// Tells the host, closes the application's connection and the control
// connection, and frees its buffers: 0, or 0x1101 for no such application.
LIBCAPI20_EXPORT unsigned capi20_release(unsigned appl_id);

// Sends one message; reads only its own length of `message` (and a
// DATA_B3_REQ's data), writes nothing into it. 0; 0x1101 no such
// application; 0x1102 a message shorter than its header or, but for
// DATA_B3_REQ, longer than 2173 bytes; 0x300C a DATA_B3_REQ whose message
// and data together exceed 2173 bytes; 0x2001 a DATA_B3_RESP that answers
// no DATA_B3_IND held for that NCCI; 0x1108 the connection has ended.
LIBCAPI20_EXPORT unsigned capi20_put_message(unsigned appl_id, unsigned char* message);

// Hands out the next message without waiting, in the library's memory: a
// DATA_B3_IND (30 bytes, Data64 pointing at its data) until its DATA_B3_RESP,
// the DISCONNECT_B3_RESP of its NCCI, the DISCONNECT_IND of its PLCI or the
// release; any other message for the next three calls at least. 0; 0x1104
// nothing whole has arrived; 0x1102 a frame that held no usable message was
// thrown away; 0x1108 the connection has ended, or every DATA_B3_IND
// buffer is held (the message waits); 0x1101 no such application.
LIBCAPI20_EXPORT unsigned capi20_get_message(unsigned appl_id, unsigned char** message);

// Waits until capi20_get_message has something to say (a message, a
// thrown-away frame, the connection's end) or the time-out passes (a null
// time-out: no limit), and writes the time left back. 0, 0x1104 on time-out,
// 0x1101 no such application (or released meanwhile).
LIBCAPI20_EXPORT unsigned capi20_waitformessage(unsigned appl_id, struct timeval* timeout);

// The profile of `controller` (0: the number of controllers) from the host
// on the control connection, 64 bytes into `profile`. 0; 0x1109 not
// installed; 0x1108 no whole reply within 5 s (the control connection is
// then closed and the next call opens another).
LIBCAPI20_EXPORT unsigned capi20_get_profile(unsigned controller, unsigned char* profile);

// The driver's fixed answers, whatever the controller: 11 bytes of
// manufacturer, 4 32-bit version numbers, an 8-byte serial number. Each
// returns `buffer`, or a null pointer when not installed.
LIBCAPI20_EXPORT unsigned char* capi20_get_manufacturer(unsigned controller, unsigned char* buffer);
LIBCAPI20_EXPORT unsigned char* capi20_get_version(unsigned controller, unsigned char* buffer);
LIBCAPI20_EXPORT unsigned char* capi20_get_serial_number(unsigned controller,
                                                         unsigned char* buffer);

// The application's connection (a descriptor; on Windows a SOCKET), -1 for
// no such application. The library never reads past the frame it receives:
// a caller who looks into the connection finds a frame's start there, unless
// a call of the library has taken the first part of a frame that had not
// arrived whole.
LIBCAPI20_EXPORT int capi20_fileno(unsigned appl_id);
}
