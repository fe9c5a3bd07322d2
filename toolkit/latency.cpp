// SPDX-License-Identifier: MIT
// Logarithmic buckets: the exponent picks a row of 32, the next five bits
// the bucket in it.
#include "toolkit/latency.hpp"

namespace toolkit {

void latency_histogram::record(std::chrono::nanoseconds time) {
  auto value = static_cast<std::uint64_t>(time.count() > 0 ? time.count() : 0);
  std::size_t index = 0;
  if (value < 2 * sub_buckets) {
    index = static_cast<std::size_t>(value);
  } else {
    int top = 63;
    while ((value >> top) == 0)
      --top;
    // 32 buckets between each power of two and the next.
    auto mantissa = static_cast<std::size_t>(value >> (top - 5));
    index = static_cast<std::size_t>(top - 5) * sub_buckets + mantissa;
  }
  ++buckets_[index];
  ++count_;
}

std::chrono::nanoseconds latency_histogram::percentile(double fraction) const {
  if (count_ == 0)
    return {};
  auto wanted = static_cast<std::uint64_t>(fraction * static_cast<double>(count_) + 0.999999);
  if (wanted < 1)
    wanted = 1;
  std::uint64_t seen = 0;
  for (std::size_t index = 0; index < buckets_.size(); ++index) {
    seen += buckets_[index];
    if (seen < wanted)
      continue;
    if (index < 2 * sub_buckets)
      return std::chrono::nanoseconds(index);
    std::size_t top = index / sub_buckets + 4;
    std::uint64_t low = static_cast<std::uint64_t>(index % sub_buckets + sub_buckets) << (top - 5);
    std::uint64_t width = std::uint64_t{1} << (top - 5);
    return std::chrono::nanoseconds(static_cast<long long>(low + width / 2));
  }
  return {};
}

} // namespace toolkit
