// SPDX-License-Identifier: MIT
// The rows of the benchmark's table: how each figure is measured for the
// bridge and for its baseline, and how the table is printed.
#pragma once

#include <string>
#include <vector>

struct bench_settings {
  bool quick = false;
  int rounds = 7;
  int slices = 10; // per side and round
  double slice_seconds = 0.02;
  int cpu = 0;             // -1: not pinned
  bool skip_tools = false; // no strace, no callgrind
};

struct table_row {
  std::string number; // the row's number: "1", "5", ...
  std::string figure;
  std::string bridge;
  std::string baseline;
  std::string ratio;
  std::string target;
  std::string verdict; // "yes", "no" or "-"
};

struct table {
  std::vector<table_row> rows;
  std::vector<std::string> notes;
};

// Rows 1 and 2: lockstep and pipelined round trips for Get and Put.
void timed_rows(const bench_settings& s, table& t);
// Row 3: B3 payload throughput out and in.
void b3_rows(const bench_settings& s, table& t);
// Row 4: blocks between two applications through the real library.
void library_rows(const bench_settings& s, table& t);
// Row 5: allocations per request and resident memory.
void allocation_rows(const bench_settings& s, table& t);
// Row 6: system calls and user-space instructions per request.
void syscall_rows(const bench_settings& s, table& t);

// Rows 7-10: idle CPU, DATA_B3_IND latency, live calls per machine and the
// echo round trip, all through the real library (idle_capacity_rows.cpp,
// latency_rows.cpp).
void idle_rows(const bench_settings& s, table& t);
void latency_rows(const bench_settings& s, table& t);
void capacity_rows(const bench_settings& s, table& t);
void echo_rows(const bench_settings& s, table& t);

void print_table(const bench_settings& s, const table& t);

// The median of `v` (0 when empty); `v` with `decimals` decimals; "median
// (min–max)" of `v` scaled by `unit`.
double median(std::vector<double> v);
std::string number(double v, int decimals);
std::string spread(const std::vector<double>& v, double unit, int decimals);

// One row of rates measured round by round: "median (min–max)" of each side
// in `unit`s, and of the per-round ratios; met when the median ratio reaches
// `target` (none when 0).
void add_timed_row(table& t, const std::string& row, const std::string& figure,
                   const std::vector<double>& bridge, const std::vector<double>& baseline,
                   const std::vector<double>& ratios, double unit, int decimals, double target);
