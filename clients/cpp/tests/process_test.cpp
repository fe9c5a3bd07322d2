// SPDX-License-Identifier: MIT
// child_process on its own, with a small child program of the tests' own
// (process_test_child, beside the tests): what the client, the black-box
// tests and the benchmark rely on beyond reading and writing whole buffers,
// on every OS.
#include "process_test.hpp"

#include "harness/process.hpp"
#include "toolkit/os.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

using namespace capi_bridge;
using namespace std::chrono_literals;

std::vector<std::string> test_child(std::vector<std::string> steps) {
  std::string program =
      (toolkit::program_folder() / (std::string("process_test_child") + toolkit::executable_suffix))
          .string();
  steps.insert(steps.begin(), program);
  return steps;
}

child_process started(const std::vector<std::string>& steps, process_options options) {
  options.command = test_child(steps);
  child_process c;
  EXPECT_TRUE(c.start(options)) << c.error();
  return c;
}

std::string all_output(child_process& c) {
  std::string got;
  std::uint8_t buffer[256];
  std::size_t count = 0;
  while (c.read_some(buffer, sizeof buffer, count, after(5s)) == io_result::done)
    got.append(buffer, buffer + count);
  return got;
}

namespace {

TEST(child_process, read_some_takes_what_has_come_and_then_sees_the_end) {
  child_process c = started({"out", "abc", "pause", "200", "out", "de"});
  std::string got;
  std::uint8_t buffer[64];
  std::size_t count = 0;
  io_result r = io_result::done;
  while ((r = c.read_some(buffer, sizeof buffer, count, after(5s))) == io_result::done) {
    EXPECT_GT(count, 0u);
    got.append(buffer, buffer + count);
  }
  EXPECT_EQ(r, io_result::ended);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(got, "abcde");
}

TEST(child_process, read_some_times_out_on_a_silent_child) {
  child_process c = started({"pause", "30000"});
  std::uint8_t byte = 0;
  std::size_t count = 1;
  EXPECT_EQ(c.read_some(&byte, 1, count, after(100ms)), io_result::timed_out);
  EXPECT_EQ(count, 0u);
}

TEST(child_process, closing_the_output_ends_a_child_that_writes) {
  child_process c = started({"flood"});
  std::uint8_t some[16];
  ASSERT_EQ(c.read(some, sizeof some, after(5s)), io_result::done);
  c.close_output();
  auto ended = c.wait(after(5s));
  ASSERT_TRUE(ended) << "the child still writes into a closed pipe";
  EXPECT_FALSE(ended->exited && ended->code == 0);
  EXPECT_EQ(c.read(some, 1, after(1s)), io_result::ended);
}

TEST(child_process, unset_names_are_gone_and_set_ones_win) {
  toolkit::set_environment("CAPI_BRIDGE_TEST_INHERITED", "inherited");
  process_options options;
  options.environment = {{"CAPI_BRIDGE_TEST_SET", "set"}, {"HOME", "/home/set"}};
  options.unset_environment = {"CAPI_BRIDGE_TEST_INHERITED", "HOME"};
  child_process c = started(
      {"env", "CAPI_BRIDGE_TEST_INHERITED", "env", "CAPI_BRIDGE_TEST_SET", "env", "HOME"}, options);
  toolkit::set_environment("CAPI_BRIDGE_TEST_INHERITED", nullptr);
  EXPECT_EQ(all_output(c), "unset\nset\n/home/set\n");
}

// Windows hands a child one command line that the child's C runtime splits
// again: quoting must survive spaces, quotes and backslashes before them.
TEST(child_process, arguments_reach_the_child_unchanged) {
  const std::vector<std::string> arguments = {"plain",
                                              "two words",
                                              "",
                                              "tab\there",
                                              "a \"quoted\" word",
                                              "\"",
                                              "back\\slash",
                                              "trailing backslash\\",
                                              "backslashes before a quote\\\\\"",
                                              "C:\\a b\\",
                                              "-x=1"};
  std::vector<std::string> steps = {"args"};
  steps.insert(steps.end(), arguments.begin(), arguments.end());
  child_process c = started(steps);
  std::string expected;
  for (const std::string& a : arguments)
    expected += a + '\0';
  EXPECT_EQ(all_output(c), expected);
}

TEST(child_process, standard_error_is_appended_to_the_file) {
  std::string error;
  std::filesystem::path folder = toolkit::make_temporary_folder("capi-child-process-", error);
  ASSERT_FALSE(folder.empty()) << error;
  process_options options;
  options.stderr_path = (folder / "stderr").string();
  for (const char* text : {"one", "two"}) {
    child_process c = started({"err", text, "out", "done"}, options);
    EXPECT_EQ(all_output(c), "done");
    ASSERT_TRUE(c.wait(after(5s)));
  }
  std::stringstream written;
  written << std::ifstream(options.stderr_path, std::ios::binary).rdbuf();
  EXPECT_EQ(written.str(), "onetwo");
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

TEST(child_process, a_program_that_does_not_exist_is_not_started) {
  child_process c;
  process_options options;
  options.command = {(toolkit::program_folder() / "no-such-program").string() +
                     toolkit::executable_suffix};
  EXPECT_FALSE(c.start(options));
  EXPECT_NE(c.error(), "");
  EXPECT_FALSE(c.running());
}

// Wine closes the handles of a process that has ended a little after it
// says so (up to some 200 ms), and a pipe takes writes until then: the
// child's end is given that long to close.
TEST(child_process, writing_to_a_child_that_is_gone_is_ended) {
  child_process c = started({"exit", "0"});
  ASSERT_TRUE(c.wait(after(5s)));
  const std::uint8_t request[] = {1, 0, 0, 0, 'G'};
  capi_bridge::deadline until = after(5s);
  io_result r = io_result::done;
  while ((r = c.write(request, sizeof request, after(1s))) == io_result::done &&
         std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(r, io_result::ended);
}

TEST(child_process, one_thread_writes_while_another_reads) {
  child_process c = started({"cat"});
  std::string sent(1 << 20, '\0');
  for (std::size_t i = 0; i < sent.size(); ++i)
    sent[i] = static_cast<char>(i * 7);
  io_result wrote = io_result::failed;
  std::thread writer([&] {
    wrote = c.write(reinterpret_cast<const std::uint8_t*>(sent.data()), sent.size(), after(10s));
    c.close_input();
  });
  std::string echoed(sent.size(), '\0');
  io_result read =
      c.read(reinterpret_cast<std::uint8_t*>(echoed.data()), echoed.size(), after(10s));
  writer.join();
  EXPECT_EQ(wrote, io_result::done);
  EXPECT_EQ(read, io_result::done);
  EXPECT_TRUE(echoed == sent);
  auto ended = c.wait(after(5s));
  ASSERT_TRUE(ended);
  EXPECT_TRUE(ended->exited && ended->code == 0);
}

TEST(child_process, assigning_over_a_running_child_ends_it) {
  child_process c = started({"pause", "30000"});
  const long replaced = c.id();
  c = started({"exit", "0"});
  EXPECT_FALSE(harness::process_exists(replaced))
      << "the replaced child still runs, or was not reaped";
  auto ended = c.wait(after(5s));
  ASSERT_TRUE(ended);
  EXPECT_TRUE(ended->exited && ended->code == 0);
}

} // namespace
