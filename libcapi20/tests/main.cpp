// SPDX-License-Identifier: MIT
// The tests' main, which doubles as a second process for the test that
// needs one: with --register-and-release PORT it registers with the host at
// 127.0.0.1:PORT, releases the ID it got and exits 0 on success. SIGPIPE
// keeps its default, so a write to a closed connection would end a test.
#include "entry_points.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--register-and-release") == 0) {
    char driver[] = "fritzbox";
    char host[] = "127.0.0.1";
    capi20ext_set_driver(driver);
    capi20ext_set_host(host);
    capi20ext_set_port(std::atoi(argv[2]));
    unsigned id = 0;
    return capi20_register(1, 7, 2048, &id) == 0 && capi20_release(id) == 0 ? 0 : 1;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
