// SPDX-License-Identifier: MIT
// Memory for the B3 data of the stand-in library's incoming messages: ordinary,
// below 4 GiB (for the 32-bit Data field), or partly or wholly unreadable.
#pragma once

#include <cstddef>
#include <cstdint>

// A fresh readable and writable block of `size` bytes (at least one page
// apart from the others), below 4 GiB when `low` is set.
std::uint8_t* fake_memory_readable(std::size_t size, bool low);

// An address inside a no-access page, below 4 GiB when `low` is set.
std::uint8_t* fake_memory_unreadable(bool low);

// How many bytes at the start of a straddling block can be read.
constexpr std::size_t fake_memory_straddle_readable = 16;

// A block of `size` bytes whose first fake_memory_straddle_readable bytes end
// one readable page and whose rest lies in the no-access page after it.
std::uint8_t* fake_memory_straddling(std::size_t size);

// Gives back every block handed out so far.
void fake_memory_release_all();
