// SPDX-License-Identifier: MIT
// The emulated host as the tests, the soak command and the
// benchmark start it: the client library's.
#pragma once

#include "capi_bridge/emulator.hpp"

namespace harness {

using capi_bridge::local_emulator;

} // namespace harness
