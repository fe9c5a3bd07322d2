// SPDX-License-Identifier: MIT
// Bytes as lower-case hex digits, two per byte: how the stand-in library's
// scripts and the benchmark's canned replies spell messages.
#pragma once

#include "capi_bridge/capimsg.hpp"

#include <string>

namespace harness {

std::string hex(capimsg::byte_view data);

} // namespace harness
