// One handler per request kind. Each is given the request body (the kind
// letter at body[0]) and its length (at least 1), and answers with exactly
// one send_reply.
#pragma once

#include <cstdint>

// "O": loads the library, points it at the host, registers an application.
void handle_open(const std::uint8_t* body, std::uint32_t length);

// "P": the 64-byte profile of one controller.
void handle_profile(const std::uint8_t* body, std::uint32_t length);

// "C": releases the application. The caller ends the bridge after it.
void handle_close(const std::uint8_t* body, std::uint32_t length);

// "M": passes one CAPI message to the library, with a DATA_B3_REQ's payload
// copied into a buffer that lives until its DATA_B3_CONF.
void handle_put(const std::uint8_t* body, std::uint32_t length);

// "G": one incoming CAPI message, never waiting; a DATA_B3_IND's data is
// appended to the reply.
void handle_get(const std::uint8_t* body, std::uint32_t length);

// "W": like "G", but waits for a message up to the time-out at body
// offsets 1-4 (milliseconds, at most 60,000), and ends the wait early when
// the client writes its next request. 0x1102 when the body is shorter than
// 5 bytes; 0x1104 when the time passes or the client writes first; 0x1108
// when the library says a message is ready and then has none (its
// connection to the host has ended).
void handle_wait(const std::uint8_t* body, std::uint32_t length);

// Releases the payload copy kept under a Data handle, if any: its
// DATA_B3_CONF has arrived and the library reads it no more.
void release_b3_copy(std::uint16_t data_handle);
