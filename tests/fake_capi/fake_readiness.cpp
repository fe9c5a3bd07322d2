// SPDX-License-Identifier: MIT
// A timerfd as the stand-in library's readiness descriptor on Linux; nothing
// on Windows.
#include "fake_readiness.hpp"

#ifndef _WIN32
#include <sys/timerfd.h>
#include <unistd.h>
#endif

int fake_readiness_open() {
#ifdef _WIN32
  return -1;
#else
  return timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
#endif
}

void fake_readiness_set(int descriptor, std::optional<std::chrono::steady_clock::time_point> due) {
#ifdef _WIN32
  (void)descriptor;
  (void)due;
#else
  if (descriptor < 0)
    return;
  // An absolute time that has passed fires at once (on x86 before
  // timerfd_settime returns), so a message that is due makes the descriptor
  // readable as soon as it is set. libstdc++'s steady_clock is
  // CLOCK_MONOTONIC: its times serve as they are. A zero time would disarm.
  itimerspec when = {};
  if (due && *due <= std::chrono::steady_clock::now()) {
    when.it_value = {0, 1};
  } else if (due) {
    auto since_boot = std::chrono::duration_cast<std::chrono::nanoseconds>(due->time_since_epoch());
    when.it_value.tv_sec = static_cast<time_t>(since_boot.count() / 1000000000);
    when.it_value.tv_nsec = static_cast<long>(since_boot.count() % 1000000000);
  }
  timerfd_settime(descriptor, TFD_TIMER_ABSTIME, &when, nullptr);
#endif
}

void fake_readiness_close(int descriptor) {
#ifndef _WIN32
  if (descriptor >= 0)
    close(descriptor);
#else
  (void)descriptor;
#endif
}
