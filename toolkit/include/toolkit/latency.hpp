// SPDX-License-Identifier: MIT
// Request-to-reply times of a client (capi_bridge::client::set_round_trip_trace),
// kept for the percentiles of the demo's summary.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

namespace toolkit {

// Times in logarithmic buckets (about 3 % apart), so that it takes the same
// memory however long it records.
class latency_histogram {
public:
  void record(std::chrono::nanoseconds time);
  std::uint64_t count() const { return count_; }
  // The time below which `fraction` (0..1) of the recorded times lie, to the
  // bucket's precision; 0 when nothing was recorded.
  std::chrono::nanoseconds percentile(double fraction) const;

private:
  static constexpr int sub_buckets = 32;
  std::array<std::uint64_t, 64 * sub_buckets> buckets_{};
  std::uint64_t count_ = 0;
};

} // namespace toolkit
