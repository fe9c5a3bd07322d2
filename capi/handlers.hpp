// SPDX-License-Identifier: MIT
// One handler per request kind. Each is given the request body (the kind
// letter at body[0]) and its length (at least 1), and answers with exactly
// one send_reply. Besides the values listed, every handler that calls the
// library may answer with whatever info value the library returns.
#pragma once

#include <cstdint>

// "O": loads the library, points it at the host, registers an application.
// Always 5 bytes of data (application ID, stage). 0x1009, stage 1: body
// shorter than 5 bytes, or the library or one of its ten entry points
// missing; the library's is-installed value, stage 1; its register value,
// stage 2; 0x1008, stage 2: the host gave application ID 0, which the
// library cannot use.
void handle_open(const std::uint8_t* body, std::uint32_t length);

// "R": the B3 data blocks (body offsets 1-2) and block size (3-4) the next
// Open registers, in place of 7 and 2048; no data. 0x1102: body shorter
// than 5 bytes; 0x1003: blocks outside 1..7; 0x1002: block size below 128;
// 0x300C: block size above 2048. A refused request changes nothing.
void handle_registration(const std::uint8_t* body, std::uint32_t length);

// "I": Open's layout and first steps (library, driver, host, port, the
// library's is-installed), registering nothing; its result, no data.
// 0x1009: body shorter than 5 bytes, or the library or one of its ten entry
// points missing. Profile works after it as after Open.
void handle_installed(const std::uint8_t* body, std::uint32_t length);

// "P": the 64-byte profile of one controller, always 64 bytes of data.
// 0x1009 (64 zero bytes): body shorter than 5 bytes, or no Open has
// resolved capi20_get_profile.
void handle_profile(const std::uint8_t* body, std::uint32_t length);

// "C": releases the application, unless its connection has ended (the host
// may have given its ID to another application); always 0. The caller ends
// the bridge after it.
void handle_close(const std::uint8_t* body, std::uint32_t length);

// "M": passes one CAPI message to the library, with a DATA_B3_REQ's payload
// copied into a buffer that lives until its DATA_B3_CONF. 0x1101: body
// shorter than 9 bytes, or no application; 0x1102: message length outside
// 8..8192, beyond the body, or (a DATA_B3_REQ's data included) beyond what
// the library sends intact, or a DATA_B3_REQ without Data64; 0x300C: Data
// length above the block size; 0x1103: Data handle still in flight;
// 0x1008: no memory for the copy; 0x2001: a DATA_B3_RESP that answers no
// outstanding DATA_B3_IND; 0x1108: the connection has ended (the library is
// not called).
void handle_put(const std::uint8_t* body, std::uint32_t length);

// "G": one incoming CAPI message, never waiting; a DATA_B3_IND's data is
// appended to the reply. 0x1104: no application, nothing waiting, or only
// part of a frame so far; 0x1102: a frame too short for a CAPI message, or a
// message whose length field is below 8 or claims more than the frame or the
// library's buffer holds (dropped); 0x1108: the connection has ended, or
// brought a frame the library cannot take (it is shut down).
void handle_get(const std::uint8_t* body, std::uint32_t length);

// "W": like "G", but waits for a message up to the time-out at body
// offsets 1-4 (milliseconds, at most 60,000), and ends the wait early when
// the client writes its next request. 0x1102 when the body is shorter than
// 5 bytes; 0x1104 when the time passes or the client writes first; 0x1108
// when the library says a message is ready and then has none (its
// connection to the host has ended), or as "G" does. Waiting for the rest
// of a frame that has come in part costs nothing until it is whole.
void handle_wait(const std::uint8_t* body, std::uint32_t length);

// "B": the batch, an extension beside "W": waits for a first message as "W"
// does (time-out at body offsets 1-4), then takes every message that has
// already come, up to the count at offsets 5-6 (0 counts as 1) and until
// the records reach the byte count at offsets 7-10 (at most 1 MiB; the last
// record may pass it). With info 0 the data is the records: each a whole
// reply as "G" would send it, header included; the last may carry the info
// value that ended the batch (0x1102, 0x1108, or the library's). Otherwise
// "W"'s answer with no data; 0x1102 when the body is shorter than 11 bytes;
// 0x1008 when there is no memory for the batch (nothing is taken).
void handle_batch(const std::uint8_t* body, std::uint32_t length);
