// SPDX-License-Identifier: MIT
// The descriptor that the stand-in library's capi20_fileno hands out: a
// timerfd on Linux that polls readable from the time a message is due.
// Windows has no such entry point, and these do nothing there.
#pragma once

#include <chrono>
#include <optional>

// A new descriptor that never polls readable until fake_readiness_set says
// so; -1 on Windows or when the system has none to give.
int fake_readiness_open();

// Makes `descriptor` poll readable from `due` on (at once when `due` has
// passed), or not at all when `due` is empty. Whatever readability came
// before is cleared.
void fake_readiness_set(int descriptor, std::optional<std::chrono::steady_clock::time_point> due);

void fake_readiness_close(int descriptor);
