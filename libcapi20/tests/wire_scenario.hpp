// SPDX-License-Identifier: MIT
// The whole call that the wire comparison drives through a libcapi20, its
// transcript, and the relay in between that records every byte: shared by
// the Linux program that loads a library by path and the Windows one built
// against our libcapi20-3.dll.
#pragma once

#include "capi_bridge/capimsg.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

// The entry points the scenario calls, filled by the program that loads the
// library. wait_for_message is capi20_waitformessage with a time-out of
// `seconds`, whose record each system spells its own way.
struct capi_library {
  unsigned (*isinstalled)();
  void (*set_driver)(char*);
  void (*set_host)(char*);
  void (*set_port)(int);
  unsigned (*register_application)(unsigned, unsigned, unsigned, unsigned*);
  unsigned (*release)(unsigned);
  unsigned (*put_message)(unsigned, unsigned char*);
  unsigned (*get_message)(unsigned, unsigned char**);
  unsigned (*wait_for_message)(unsigned appl_id, long seconds);
  unsigned (*get_profile)(unsigned, unsigned char*);
  unsigned char* (*get_manufacturer)(unsigned, unsigned char*);
  unsigned char* (*get_version)(unsigned, unsigned char*);
  unsigned char* (*get_serial_number)(unsigned, unsigned char*);
};

// Hex, two digits a byte; bytes from `masked_from` to `masked_to` as xx.
std::string hex(capimsg::byte_view b, std::size_t masked_from = 0, std::size_t masked_to = 0);

// Runs the whole call through `lib` against 127.0.0.1:`port` (the emulator
// with its echo number 999, or a relay to it), writing on standard output
// what each call returned and got. Two things differ by design and are
// written as xx: the DataHandle a DATA_B3_IND carries to the caller (each
// library's own buffer index), and below, in print_frames, Data64 of a
// DATA_B3_REQ on the wire (Debian's library sends the caller's address,
// ours 0).
void run_scenario(const capi_library& lib, std::uint16_t port);

// Writes one line per frame of a connection's bytes in one direction:
// "cN L>H hex" or "cN H>L hex". The first `short_headed` frames have the
// 2-byte header of the library's own replies, the others 3 bytes.
void print_frames(const char* direction, std::size_t connection, const capimsg::bytes& stream,
                  std::size_t short_headed);
