// SPDX-License-Identifier: MIT
// child_process on POSIX alone: signals.
#include "process_test.hpp"

#include <gtest/gtest.h>

#include <csignal>

using namespace capi_bridge;
using namespace std::chrono_literals;

namespace {

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
    child_process c = started({"exit", "0"});
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

} // namespace
