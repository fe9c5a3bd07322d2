// SPDX-License-Identifier: MIT
// child_process on Windows alone: environment names without case, and the
// job that ends a child when the program that started it ends.
#include "process_test.hpp"

#include "harness/process.hpp"
#include "toolkit/os.hpp"

#include <gtest/gtest.h>

#include <thread>

using namespace capi_bridge;
using namespace std::chrono_literals;

namespace {

// The child sees one entry per name, the one child_process was given.
TEST(child_process, environment_names_compare_without_case) {
  toolkit::set_environment("CAPI_BRIDGE_TEST_INHERITED", "inherited");
  toolkit::set_environment("CAPI_BRIDGE_TEST_REPLACED", "inherited");
  process_options options;
  options.unset_environment = {"capi_bridge_test_inherited"};
  options.environment = {{"Capi_Bridge_Test_Replaced", "set"}};
  child_process c =
      started({"env", "CAPI_BRIDGE_TEST_INHERITED", "env", "CAPI_BRIDGE_TEST_REPLACED"}, options);
  toolkit::set_environment("CAPI_BRIDGE_TEST_INHERITED", nullptr);
  toolkit::set_environment("CAPI_BRIDGE_TEST_REPLACED", nullptr);
  EXPECT_EQ(all_output(c), "unset\nset\n");
}

// A program that ends without ending its bridge, a crash say, takes the
// bridge with it: no bridge is left without its client.
TEST(child_process, a_child_ends_with_the_program_that_started_it) {
  child_process parent = started({"abandon"});
  std::string line;
  ASSERT_EQ(parent.read_line(line, after(10s)), io_result::done);
  const long abandoned = std::stol(line);
  ASSERT_TRUE(parent.wait(after(5s)));
  capi_bridge::deadline until = after(5s);
  while (harness::process_exists(abandoned) && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(harness::process_exists(abandoned)) << "process " << abandoned << " still runs";
}

} // namespace
