// SPDX-License-Identifier: MIT
// capi-bridge: CAPI 2.0 for a client process, served over framed requests on
// standard input and replies on standard output. Reads no arguments, no
// environment and no configuration; everything arrives in the Open request.
#include "bridge/loop.hpp"
#include "platform/platform.hpp"

#include <cstdio>

int main() {
  platform_start();
  // Started by hand, it would otherwise just wait, silent, and end at the
  // first line typed.
  if (platform_input_is_terminal())
    std::fputs("capi-bridge: CAPI 2.0 for the program that starts it, in framed binary requests "
               "on standard input and replies on standard output; not for typing. See "
               "capi-bridge(1) and the protocol reference, protocol.md.\n",
               stderr);
  serve_requests();
  return 0;
}
