// SPDX-License-Identifier: MIT
// What the tests of child processes need beyond the toolkit: binary streams
// and whether a process still runs. One implementation file per OS.
#pragma once

#include <cstdio>

namespace harness {

// Makes `stream` carry bytes unchanged (on Windows, no CR before LF, no end
// at 0x1A); elsewhere streams already do.
void binary_mode(std::FILE* stream);

// True while the process `id` runs or, on POSIX, has ended without being
// reaped by its parent yet.
bool process_exists(long id);

} // namespace harness
