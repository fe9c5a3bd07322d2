// SPDX-License-Identifier: MIT
// The wire comparison's whole call on Windows, built against our
// libcapi20-3.dll and run under Wine through the Linux program's relay:
//   wire_scenario_windows PORT
// Writes what each call returned and got, as the Linux program does.
// Before anything that may bring windows.h.
#include <winsock2.h>

#include "entry_points.hpp"
#include "wire_scenario.hpp"

#include <cstdlib>

namespace {

unsigned wait_seconds(unsigned appl_id, long seconds) {
  timeval wait{seconds, 0};
  return capi20_waitformessage(appl_id, &wait);
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 2)
    return 2;
  capi_library lib{capi20_isinstalled,      capi20ext_set_driver,    capi20ext_set_host,
                   capi20ext_set_port,      capi20_register,         capi20_release,
                   capi20_put_message,      capi20_get_message,      wait_seconds,
                   capi20_get_profile,      capi20_get_manufacturer, capi20_get_version,
                   capi20_get_serial_number};
  run_scenario(lib, static_cast<std::uint16_t>(std::atoi(argv[1])));
  return 0;
}
