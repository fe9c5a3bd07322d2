// SPDX-License-Identifier: MIT
// Request and reply frames on the standard streams: send_reply, and the info
// values the bridge produces itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include <capi_bridge/capi_fields.hpp>

// A request body (kind letter included) holds 1..max_request_length bytes.
constexpr std::uint32_t max_request_length = 0x100000;

// Info values of the bridge's own making; every other value in a reply is
// passed on from the library.
enum : std::uint32_t {
  info_ok = 0x0000,
  info_logical_block_too_small = 0x1002, // R: block size below 128
  info_buffer_too_large = 0x1003,        // R: B3 data blocks outside 1..7
  info_os_resource_error = 0x1008,       // no memory for a B3 payload copy; ID 0 registered
  info_not_installed = 0x1009,           // library, entry point or request field missing
  info_illegal_appl_id = 0x1101,         // Put without a registered application or too short
  info_illegal_command = 0x1102,         // unknown kind letter, or a malformed message
  info_queue_busy = 0x1103,              // Put: Data handle still in use by an unconfirmed request
  info_queue_empty = 0x1104,             // Get: nothing to hand out
  info_host_gone = 0x1108,               // Get, W, Put: the library's connection has ended
  info_not_in_current_state = 0x2001,    // DATA_B3_RESP that answers no outstanding DATA_B3_IND
  info_data_length_not_supported = 0x300C, // DATA_B3_REQ above the registered block size
};

// Little-endian fields, for requests and replies as for CAPI messages.
using capi_fields::get_le16;
using capi_fields::get_le32;
using capi_fields::get_le64;
using capi_fields::put_le16;
using capi_fields::put_le32;
using capi_fields::put_le64;

// Writes one reply frame to standard output: the 8-byte header (length
// 4 + data_length + extra_length in its low 24 bits, byte 3 always 0, then
// info), the data, then the extra, all flushed before it returns. Write
// errors go unnoticed. Every reply of every handler goes through here.
void send_reply(std::uint32_t info, const void* data, std::size_t data_length, const void* extra,
                std::size_t extra_length);

inline void send_reply(std::uint32_t info) {
  send_reply(info, nullptr, 0, nullptr, 0);
}

// Reads the next `size` bytes of standard input. When the read-ahead already
// holds all of them, returns where they lie there, valid until the next read,
// and copies nothing; otherwise reads them into `buffer` (room for `size`
// bytes) and returns `buffer`. Returns nullptr when the input ends or fails
// first. Reads ahead: several small pipelined requests cost one system call.
const std::uint8_t* read_input_in_place(std::uint8_t* buffer, std::size_t size);

// True when the client has written its next request, or part of it: input
// read ahead and not yet consumed, or waiting to be read (or its end), or a
// stop asked for. Looks without reading or waiting. Where the platform
// cannot look into standard input (a Unix pipe under Wine), it always says
// so; input_read_ahead() alone never asks the platform.
bool client_has_written();
bool input_read_ahead();
// True when the next request read ahead is a Put: its length field and kind
// letter are there. Looks without reading.
bool put_read_ahead();

// Forgets input read ahead but not yet consumed. For drivers that run the
// request loop more than once in one process.
void discard_read_ahead();
