// SPDX-License-Identifier: MIT
// The smallest client: opens an application on a CAPI host through the
// bridge, reads the profile of controller 1, and closes.
#include <capi_bridge/client.hpp>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s BRIDGE HOST PORT\n", argv[0]);
    return 2;
  }
  capi_bridge::client_options options;
  options.command = {argv[1]};           // e.g. {"wine", "capi-bridge.exe"} on Linux
  options.stderr_path = "bridge.stderr"; // where the library's debug lines go
  capi_bridge::client bridge(options);

  auto opened = bridge.open(argv[2], static_cast<std::uint16_t>(std::atoi(argv[3])), 2);
  if (!opened.status.ok()) {
    std::printf("Open failed: %s\n", opened.status.text().c_str());
    return 1;
  }
  auto profile = bridge.profile(1);
  std::printf("application %u; controller 1: %u B channels (%s)\n", opened.appl_id,
              profile.value.b_channels, profile.status.text().c_str());
  return bridge.close().ok() ? 0 : 1;
}
