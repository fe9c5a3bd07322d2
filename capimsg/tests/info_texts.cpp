// SPDX-License-Identifier: MIT
// Prints capimsg's text of every info value, one "xxxx<TAB>text" line each,
// then the name of every command and subcommand pair, for the check that
// the Python client's are the same.
#include "capi_bridge/capimsg.hpp"

#include <cstdio>

int main() {
  for (unsigned value = 0; value <= 0xFFFF; ++value)
    std::printf("%04x\t%s\n", value, capimsg::info_text(static_cast<std::uint16_t>(value)));
  for (unsigned command = 0; command <= 0xFF; ++command)
    for (unsigned subcommand = 0; subcommand <= 0xFF; ++subcommand)
      std::printf("%s\n", capimsg::message_name(static_cast<std::uint8_t>(command),
                                                static_cast<std::uint8_t>(subcommand))
                              .c_str());
}
