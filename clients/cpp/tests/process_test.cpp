// child_process on its own, with small shell children: what the client, the
// black-box tests and the benchmark rely on beyond reading and writing whole
// buffers.
#include "capi_bridge/process.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <thread>

using namespace capi_bridge;
using namespace std::chrono_literals;

namespace {

child_process started(const std::string& script, process_options options = {}) {
  options.command = {"/bin/sh", "-c", script};
  child_process c;
  EXPECT_TRUE(c.start(options)) << c.error();
  return c;
}

TEST(child_process, read_some_takes_what_has_come_and_then_sees_the_end) {
  child_process c = started("printf abc; sleep 0.2; printf de");
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
  child_process c = started("exec sleep 30");
  std::uint8_t byte = 0;
  std::size_t count = 1;
  EXPECT_EQ(c.read_some(&byte, 1, count, after(100ms)), io_result::timed_out);
  EXPECT_EQ(count, 0u);
}

TEST(child_process, closing_the_output_ends_a_child_that_writes) {
  child_process c = started("exec yes");
  std::uint8_t some[16];
  ASSERT_EQ(c.read(some, sizeof some, after(5s)), io_result::done);
  c.close_output();
  auto ended = c.wait(after(5s));
  ASSERT_TRUE(ended) << "the child still writes into a closed pipe";
  EXPECT_FALSE(ended->exited && ended->code == 0);
  EXPECT_EQ(c.read(some, 1, after(1s)), io_result::ended);
}

TEST(child_process, unset_names_are_gone_and_set_ones_win) {
  ASSERT_EQ(::setenv("CAPI_BRIDGE_TEST_INHERITED", "inherited", 1), 0);
  process_options options;
  options.environment = {{"CAPI_BRIDGE_TEST_SET", "set"}, {"HOME", "/home/set"}};
  options.unset_environment = {"CAPI_BRIDGE_TEST_INHERITED", "HOME"};
  child_process c = started(
      "echo \"${CAPI_BRIDGE_TEST_INHERITED-unset} ${CAPI_BRIDGE_TEST_SET-unset} $HOME\"", options);
  ::unsetenv("CAPI_BRIDGE_TEST_INHERITED");
  std::string line;
  ASSERT_EQ(c.read_line(line, after(5s)), io_result::done);
  EXPECT_EQ(line, "unset set /home/set");
}

TEST(child_process, one_thread_writes_while_another_reads) {
  child_process c = started("exec cat");
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

bool sigpipe_pending() {
  sigset_t pending;
  sigpending(&pending);
  return sigismember(&pending, SIGPIPE) == 1;
}

// A write into a child that is gone raises SIGPIPE, which would kill the
// caller; it reports `ended` instead and leaves no SIGPIPE behind, while a
// SIGPIPE the caller had pending (blocked) before stays pending.
TEST(child_process, writing_to_a_child_that_is_gone_is_ended_and_leaves_sigpipe_as_it_was) {
  const std::uint8_t request[] = {1, 0, 0, 0, 'G'};
  for (bool caller_has_one_pending : {false, true}) {
    SCOPED_TRACE(caller_has_one_pending ? "one pending before" : "none pending before");
    sigset_t pipe, old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    if (caller_has_one_pending) {
      pthread_sigmask(SIG_BLOCK, &pipe, &old);
      ::raise(SIGPIPE);
    }
    child_process c = started("exit 0");
    ASSERT_TRUE(c.wait(after(5s)));
    EXPECT_EQ(c.write(request, sizeof request, after(1s)), io_result::ended);
    EXPECT_EQ(sigpipe_pending(), caller_has_one_pending);
    if (caller_has_one_pending) {
      timespec zero{};
      EXPECT_EQ(sigtimedwait(&pipe, nullptr, &zero), SIGPIPE);
      pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
  }
}

TEST(child_process, assigning_over_a_running_child_ends_it) {
  child_process c = started("exec sleep 30");
  const long replaced = c.id();
  c = started("exit 0");
  errno = 0;
  EXPECT_EQ(::kill(static_cast<pid_t>(replaced), 0), -1) << "the replaced child still runs";
  EXPECT_EQ(errno, ESRCH) << "and was reaped";
  auto ended = c.wait(after(5s));
  ASSERT_TRUE(ended);
  EXPECT_TRUE(ended->exited && ended->code == 0);
}

} // namespace
