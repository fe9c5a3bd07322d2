// SPDX-License-Identifier: MIT
// What capi-bridge-demo prints: profile tables, the progress bar, the summary.
#pragma once

#include "capi_bridge/client.hpp"
#include "toolkit/latency.hpp"

#include <cstdint>
#include <string>
#include <vector>

// The profile of one controller as a small table.
void print_profile(std::uint32_t controller, const capi_bridge::controller_profile& p);

// A progress display for `total` bytes: on a terminal one bar redrawn in
// place, otherwise a plain line at each quarter.
class progress_bar {
public:
  progress_bar(std::uint64_t total, bool terminal) : total_(total), terminal_(terminal) {}
  void show(std::uint64_t done);
  // Ends the display (the bar's line is finished).
  void finish();

private:
  std::uint64_t total_;
  bool terminal_;
  int quarters_shown_ = 0;
  std::uint64_t last_drawn_ = 0;
  bool drawn_ = false;
  std::int64_t last_draw_ms_ = -1000;
};

struct side_summary {
  std::string name;
  const capi_bridge::client* end;
  const toolkit::latency_histogram* round_trips;
};

// Messages and bytes each way, and the round-trip percentiles, per bridge.
void print_summary(const std::vector<side_summary>& sides);
