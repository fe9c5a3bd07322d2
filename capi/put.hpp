// SPDX-License-Identifier: MIT
// What Put's table of payload copies offers the rest of the CAPI side.
#pragma once

#include <cstdint>

// Releases the payload copy kept under a Data handle, if any: its
// DATA_B3_CONF has arrived and the library reads it no more.
void release_b3_copy(std::uint16_t data_handle);

// Releases every payload copy and clears the staging buffer, as at start;
// for a driver that runs the request loop more than once in one process.
void reset_put();
