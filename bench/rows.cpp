// SPDX-License-Identifier: MIT
// Rows 1-3, 5 and 6: the bridge against the null library, beside the pipe
// baseline, with identical request flows from the same client.
#include "rows.hpp"

#include "child.hpp"
#include "harness/hex.hpp"
#include "setup.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace {

using harness::hex;

// The replies the baseline sends where the bridge's carry data: the same
// sizes, so that both move the same bytes.
std::string canned_get(std::uint32_t info, const bytes& data) {
  bytes body = {static_cast<std::uint8_t>(info), static_cast<std::uint8_t>(info >> 8), 0, 0};
  body.insert(body.end(), data.begin(), data.end());
  return "G=" + hex(body);
}

bytes data_b3_conf_message(std::uint16_t handle) {
  return {16, 0, 1, 0, 0x86, 0x81, 1, 0, 1, 1, 1, 0, static_cast<std::uint8_t>(handle), 0, 0, 0};
}

bytes data_b3_ind_with_data(std::uint16_t size) {
  bytes m = data_b3_req(0x10101, 0, size);
  m[5] = 0x82;
  m.resize(m.size() + size, 0x5A);
  return m;
}

const std::string script_b3_out = "confirm_data_b3\n";
const std::string script_b3_in = "data_b3_ind_forever 0x10101 2048\n";

struct side_figures {
  std::vector<double> rates;
  io_calls calls;
  std::uint64_t requests = 0;
};

struct comparison {
  side_figures bridge, baseline;
};

// Figures of the timed runs that row 6 reports again.
std::vector<std::pair<std::string, comparison>> timed_runs;

comparison compare(const bench_settings& s, const std::string& script,
                   const std::vector<std::string>& canned, flow f, bool count_bytes) {
  child sides[2] = {start_bridge(script), start_baseline(canned)};
  flow flows[2] = {f, f};
  flows[0].check = true;
  comparison result;
  side_figures* figures[2] = {&result.bridge, &result.baseline};
  for (int side = 0; side < 2; ++side)
    run_flow(sides[side], flows[side], s.slice_seconds, 0); // warm-up
  for (int round = 0; round < s.rounds; ++round) {
    double done[2] = {0, 0}, seconds[2] = {0, 0};
    // Turns go bridge, baseline, baseline, bridge, ... so that neither side
    // always runs first.
    for (int turn = 0; turn < 2 * s.slices; ++turn) {
      int side = (turn % 4 == 0 || turn % 4 == 3) ? 0 : 1;
      io_calls before = child_io_calls(sides[side].id());
      flow_result r = run_flow(sides[side], flows[side], s.slice_seconds, 0);
      io_calls after = child_io_calls(sides[side].id());
      done[side] += static_cast<double>(count_bytes ? r.bytes_moved : r.units);
      seconds[side] += r.seconds;
      figures[side]->calls.reads += after.reads - before.reads;
      figures[side]->calls.writes += after.writes - before.writes;
      figures[side]->calls.waits += after.waits - before.waits;
      figures[side]->calls.preemptions += after.preemptions - before.preemptions;
      figures[side]->calls.cpu_ns += after.cpu_ns - before.cpu_ns;
      figures[side]->requests += r.requests;
    }
    for (int side = 0; side < 2; ++side)
      figures[side]->rates.push_back(done[side] / seconds[side]);
  }
  stop_bridge(sides[0]);
  finish_child(sides[1]);
  return result;
}

} // namespace

double median(std::vector<double> v) {
  if (v.empty())
    return 0;
  std::sort(v.begin(), v.end());
  std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string number(double v, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

std::string spread(const std::vector<double>& v, double unit, int decimals) {
  auto [low, high] = std::minmax_element(v.begin(), v.end());
  return number(median(v) / unit, decimals) + " (" + number(*low / unit, decimals) + "–" +
         number(*high / unit, decimals) + ")";
}

namespace {

void add_comparison(table& t, const std::string& row, const std::string& figure,
                    const comparison& c, double unit, int decimals, double target) {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < c.bridge.rates.size(); ++i)
    ratios.push_back(c.bridge.rates[i] / c.baseline.rates[i]);
  add_timed_row(t, row, figure, c.bridge.rates, c.baseline.rates, ratios, unit, decimals, target);
}

} // namespace

// The ratio is taken round by round, bridge over baseline measured in the
// same round, and its median reported: a round that the machine slowed down
// for both sides then counts no more than any other.
void add_timed_row(table& t, const std::string& row, const std::string& figure,
                   const std::vector<double>& bridge, const std::vector<double>& baseline,
                   const std::vector<double>& ratios, double unit, int decimals, double target) {
  double ratio = median(ratios);
  bool targeted = target > 0;
  char shortest[32];
  std::snprintf(shortest, sizeof shortest, "%g", target);
  t.rows.push_back({row, figure, spread(bridge, unit, decimals), spread(baseline, unit, decimals),
                    spread(ratios, 1, 2), targeted ? std::string("≥ ") + shortest : "-",
                    !targeted         ? "-"
                    : ratio >= target ? "yes"
                                      : "no"});
}

void timed_rows(const bench_settings& s, table& t) {
  struct timed_case {
    const char* row;
    const char* figure;
    const char* name;
    bytes request;
    std::uint32_t info;
    std::vector<std::string> canned;
    unsigned depth;
  };
  bytes put_listen = put_frame(listen_req());
  std::vector<timed_case> cases = {
      {"1",
       "lockstep round trips/s (k), Get, nothing waiting",
       "lockstep Get",
       get_frame(),
       0x1104,
       {"G=04110000"},
       1},
      {"1", "lockstep round trips/s (k), Put of LISTEN_REQ", "lockstep Put", put_listen, 0, {}, 1},
      {"2",
       "round trips/s (k), Get, 64 in flight",
       "pipelined Get",
       get_frame(),
       0x1104,
       {"G=04110000"},
       64},
      {"2",
       "round trips/s (k), Put of LISTEN_REQ, 64 in flight",
       "pipelined Put",
       put_listen,
       0,
       {},
       64},
  };
  for (const timed_case& c : cases) {
    flow f;
    f.request = c.request;
    f.expected_info = c.info;
    f.depth = c.depth;
    comparison result = compare(s, "", c.canned, f, false);
    add_comparison(t, c.row, c.figure, result, 1000, 1, 0.9);
    timed_runs.emplace_back(c.name, result);
  }
}

void b3_rows(const bench_settings& s, table& t) {
  flow out;
  out.kind = flow_kind::b3_out;
  out.depth = 7;
  comparison result =
      compare(s, script_b3_out, {canned_get(0, data_b3_conf_message(0))}, out, true);
  add_comparison(t, "3",
                 "B3 out MB/s: Put of DATA_B3_REQ + 2048 bytes, Get of its DATA_B3_CONF, 7 in "
                 "flight",
                 result, 1e6, 1, 0.8);
  timed_runs.emplace_back("B3 out", result);

  flow in;
  in.kind = flow_kind::b3_in;
  in.depth = 7;
  result = compare(s, script_b3_in, {canned_get(0, data_b3_ind_with_data(2048))}, in, true);
  add_comparison(t, "3",
                 "B3 in MB/s: Get of DATA_B3_IND + 2048 bytes, Put of its DATA_B3_RESP, 7 in "
                 "flight",
                 result, 1e6, 1, 0.8);
  timed_runs.emplace_back("B3 in", result);
}

namespace {

// The measured cases of rows 5 and 6, one flow each, run in lockstep.
struct counted_case {
  const char* name;
  std::string script;
  std::vector<std::string> canned;
  flow f;
  double target_allocations;
};

std::vector<counted_case> counted_cases(bool all) {
  std::vector<counted_case> cases;
  auto repeat = [](bytes request, std::uint32_t info) {
    flow f;
    f.request = std::move(request);
    f.expected_info = info;
    return f;
  };
  flow out;
  out.kind = flow_kind::b3_out;
  flow in;
  in.kind = flow_kind::b3_in;
  cases.push_back({"per Get, nothing waiting", "", {"G=04110000"}, repeat(get_frame(), 0x1104), 0});
  cases.push_back({"per Put of LISTEN_REQ", "", {}, repeat(put_frame(listen_req()), 0), 0});
  cases.push_back({"per B3 out block: Put of DATA_B3_REQ + Get of its DATA_B3_CONF",
                   script_b3_out,
                   {canned_get(0, data_b3_conf_message(0))},
                   out,
                   1});
  cases.push_back({"per B3 in block: Get of DATA_B3_IND + Put of its DATA_B3_RESP",
                   script_b3_in,
                   {canned_get(0, data_b3_ind_with_data(2048))},
                   in,
                   0});
  if (all) {
    bytes profile = {'P', 1, 0, 0, 0};
    cases.push_back({"per Profile", "", {}, repeat(frame(profile), 0), 0});
    cases.push_back({"per request of an unknown kind", "", {}, repeat(frame({'X'}), 0x1102), 0});
    cases.push_back({"per Open, again", "", {}, repeat(open_frame("127.0.0.1", 5000), 0), 0});
  }
  return cases;
}

// Runs `c` for `units` units in a fresh child started under `wrapper` and
// with `environment`, then ends the child.
void run_counted(bool bridge, const counted_case& c, std::uint64_t units,
                 const std::vector<std::string>& wrapper,
                 const std::vector<std::pair<std::string, std::string>>& environment) {
  child ch = bridge ? start_bridge(c.script, wrapper, environment)
                    : start_baseline(c.canned, wrapper, environment);
  flow f = c.f;
  f.check = bridge;
  run_flow(ch, f, 0, units);
  if (bridge)
    stop_bridge(ch);
  else
    finish_child(ch);
}

std::uint64_t read_number(const std::string& path) {
  std::ifstream in(path);
  std::uint64_t n = 0;
  in >> n;
  return n;
}

double allocations_per_unit(bool bridge, const counted_case& c, std::uint64_t n1,
                            std::uint64_t n2) {
  std::string file = temp_path("allocations");
  std::uint64_t counts[2];
  std::uint64_t units[2] = {n1, n2};
  for (int i = 0; i < 2; ++i) {
    run_counted(bridge, c, units[i], {},
                {{"LD_PRELOAD", count_allocations_library()}, {"COUNT_ALLOCATIONS_FILE", file}});
    counts[i] = read_number(file);
  }
  return (static_cast<double>(counts[1]) - static_cast<double>(counts[0])) /
         static_cast<double>(n2 - n1);
}

// Peak resident memory (KiB) after `first` and after `total` requests of the
// B3 out flow, in one child.
std::pair<std::uint64_t, std::uint64_t> peak_resident(bool bridge, std::uint64_t first,
                                                      std::uint64_t total) {
  child ch = bridge ? start_bridge(script_b3_out)
                    : start_baseline({canned_get(0, data_b3_conf_message(0))});
  flow f;
  f.kind = flow_kind::b3_out;
  f.depth = 7;
  f.check = bridge;
  run_flow(ch, f, 0, first / 2);
  std::uint64_t early = child_status_field(ch.id(), "VmHWM");
  run_flow(ch, f, 0, (total - first) / 2);
  std::uint64_t late = child_status_field(ch.id(), "VmHWM");
  if (bridge)
    stop_bridge(ch);
  else
    finish_child(ch);
  return {early, late};
}

std::string with_thousands(std::uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0)
      out += ',';
    out += digits[i];
  }
  return out;
}

} // namespace

void allocation_rows(const bench_settings& s, table& t) {
  std::uint64_t n1 = s.quick ? 50 : 1000, n2 = s.quick ? 250 : 21000;
  for (const counted_case& c : counted_cases(true)) {
    double bridge = allocations_per_unit(true, c, n1, n2);
    double baseline = allocations_per_unit(false, c, n1, n2);
    bool met = std::fabs(bridge - c.target_allocations) < 0.0005;
    t.rows.push_back({"5", std::string("heap allocations ") + c.name, number(bridge, 3),
                      number(baseline, 3), "-", number(c.target_allocations, 0),
                      met ? "yes" : "no"});
  }
  std::uint64_t first = 1000, total = s.quick ? 20000 : 1000000;
  auto [bridge_early, bridge_late] = peak_resident(true, first, total);
  auto [baseline_early, baseline_late] = peak_resident(false, first, total);
  t.rows.push_back(
      {"5",
       "peak resident memory (KiB) after " + with_thousands(first) + " requests (B3 out blocks)",
       std::to_string(bridge_early), std::to_string(baseline_early), "-", "-", "-"});
  // Flat: no more than one 64 KiB heap step above the early figure.
  bool flat = bridge_late <= bridge_early + 64;
  t.rows.push_back(
      {"5",
       "peak resident memory (KiB) after " + with_thousands(total) + " requests (B3 out blocks)",
       std::to_string(bridge_late), std::to_string(baseline_late), "-", "flat (≤ row above + 64)",
       flat ? "yes" : "no"});
}

namespace {

struct strace_counts {
  std::map<std::string, double> by_name;
  double total = 0;
};

// Per-syscall counts from an `strace -c` summary.
std::map<std::string, double> read_strace_summary(const std::string& path) {
  std::map<std::string, double> counts;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> f;
    std::string w;
    while (fields >> w)
      f.push_back(w);
    if (f.size() < 5 || f.back() == "total" || f[0].find('%') != std::string::npos ||
        f[0][0] == '-')
      continue;
    counts[f.back()] = std::stod(f[3]);
  }
  return counts;
}

strace_counts syscalls_per_unit(bool bridge, const counted_case& c, std::uint64_t n1,
                                std::uint64_t n2) {
  std::map<std::string, double> runs[2];
  std::uint64_t units[2] = {n1, n2};
  for (int i = 0; i < 2; ++i) {
    std::string file = temp_path("strace");
    run_counted(bridge, c, units[i], {"strace", "-f", "-c", "-o", file}, {});
    runs[i] = read_strace_summary(file);
  }
  strace_counts result;
  for (const auto& [name, count] : runs[1]) {
    double per = (count - runs[0][name]) / static_cast<double>(n2 - n1);
    if (per >= 0.005) {
      result.by_name[name] = per;
      result.total += per;
    }
  }
  return result;
}

std::string describe(const strace_counts& c) {
  std::string text = number(c.total, 2) + " (";
  bool first = true;
  for (const auto& [name, count] : c.by_name) {
    text += (first ? "" : ", ") + name + " " + number(count, 2);
    first = false;
  }
  return text + ")";
}

std::uint64_t read_callgrind_total(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::uint64_t total = 0;
  while (std::getline(in, line)) {
    if (line.rfind("summary:", 0) == 0 || line.rfind("totals:", 0) == 0)
      total = std::stoull(line.substr(line.find(':') + 1));
  }
  return total;
}

double instructions_per_unit(bool bridge, const counted_case& c, std::uint64_t n1,
                             std::uint64_t n2) {
  std::uint64_t totals[2];
  std::uint64_t units[2] = {n1, n2};
  for (int i = 0; i < 2; ++i) {
    std::string file = temp_path("callgrind");
    run_counted(bridge, c, units[i],
                {"valgrind", "--tool=callgrind", "--callgrind-out-file=" + file}, {});
    totals[i] = read_callgrind_total(file);
  }
  return (static_cast<double>(totals[1]) - static_cast<double>(totals[0])) /
         static_cast<double>(n2 - n1);
}

} // namespace

void syscall_rows(const bench_settings& s, table& t) {
  for (const auto& [name, c] : timed_runs) {
    auto per_request = [](const side_figures& f) {
      double n = static_cast<double>(f.requests);
      return std::make_pair(static_cast<double>(f.calls.reads) / n,
                            static_cast<double>(f.calls.writes) / n);
    };
    auto [bridge_reads, bridge_writes] = per_request(c.bridge);
    auto [baseline_reads, baseline_writes] = per_request(c.baseline);
    // One write per reply; reads never more than one per request, nor more
    // than the baseline needed for the same frames (plus rounding).
    bool met = std::fabs(bridge_writes - 1) < 0.001 && bridge_reads <= 1.001 &&
               bridge_reads <= baseline_reads + 0.02;
    t.rows.push_back({"6", "read + write calls per request, " + name,
                      number(bridge_reads, 3) + " + " + number(bridge_writes, 3),
                      number(baseline_reads, 3) + " + " + number(baseline_writes, 3), "-",
                      "1 write per reply, reads ≤ baseline", met ? "yes" : "no"});
    auto switches = [](const side_figures& f) {
      double n = static_cast<double>(f.requests);
      return number(static_cast<double>(f.calls.waits) / n, 3) + " + " +
             number(static_cast<double>(f.calls.preemptions) / n, 3);
    };
    t.rows.push_back({"6", "waits + preemptions per request, " + name, switches(c.bridge),
                      switches(c.baseline), "-", "-", "-"});
    auto cpu = [](const side_figures& f) {
      return static_cast<double>(f.calls.cpu_ns) / static_cast<double>(f.requests);
    };
    t.rows.push_back({"6", "CPU time per request (ns, user + system), " + name,
                      number(cpu(c.bridge), 0), number(cpu(c.baseline), 0),
                      number(cpu(c.bridge) / cpu(c.baseline), 2), "-", "-"});
  }
  if (s.skip_tools)
    return;
  std::uint64_t n1 = s.quick ? 20 : 500, n2 = s.quick ? 120 : 5500;
  if (program_on_path("strace")) {
    for (const counted_case& c : counted_cases(false)) {
      strace_counts bridge = syscalls_per_unit(true, c, n1, n2);
      strace_counts baseline = syscalls_per_unit(false, c, n1, n2);
      t.rows.push_back({"6", std::string("system calls (strace, lockstep) ") + c.name,
                        describe(bridge), describe(baseline),
                        number(bridge.total / baseline.total, 2), "-", "-"});
    }
  } else {
    t.notes.push_back("strace is not installed: the system call rows are left out.");
  }
  if (program_on_path("valgrind")) {
    for (const counted_case& c : counted_cases(false)) {
      double bridge = instructions_per_unit(true, c, n1, n2);
      double baseline = instructions_per_unit(false, c, n1, n2);
      t.rows.push_back({"6", std::string("user-space instructions (callgrind) ") + c.name,
                        number(bridge, 0), number(baseline, 0), number(bridge / baseline, 2), "-",
                        "-"});
    }
  } else {
    t.notes.push_back("valgrind is not installed: the instruction rows are left out.");
  }
}

void print_table(const bench_settings& s, const table& t) {
  std::printf("%s\n", machine_description().c_str());
  if (s.cpu >= 0)
    std::printf("Client and children pinned to CPU %d. ", s.cpu);
  else
    std::printf("Not pinned. ");
  std::printf("%d rounds of %d slices of %.0f ms per side; medians (min–max) over rounds.%s\n\n",
              s.rounds, s.slices, s.slice_seconds * 1000,
              s.quick ? " Quick mode: the figures only show that every row works." : "");
  std::printf("| row | figure | bridge | baseline | ratio | target | met |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  for (const table_row& r : t.rows)
    std::printf("| %s | %s | %s | %s | %s | %s | %s |\n", r.number.c_str(), r.figure.c_str(),
                r.bridge.c_str(), r.baseline.c_str(), r.ratio.c_str(), r.target.c_str(),
                r.verdict.c_str());
  for (const std::string& note : t.notes)
    std::printf("\n%s\n", note.c_str());
  std::fflush(stdout);
}
