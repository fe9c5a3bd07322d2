// SPDX-License-Identifier: MIT
// capi-bridge: CAPI 2.0 for a client process, served over framed requests on
// standard input and replies on standard output. Reads no arguments, no
// environment and no configuration; everything arrives in the Open request.
#include "bridge/loop.hpp"
#include "platform/platform.hpp"

int main() {
  platform_start();
  serve_requests();
  return 0;
}
