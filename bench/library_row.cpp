// SPDX-License-Identifier: MIT
// Row 4: DATA_B3 blocks from one application to another through Debian's
// libcapi20 and the emulated CAPI host: two capi-peer-direct programs that
// link the library, against two capi-peer-bridge programs, each with its
// bridge, in three ways of waiting for messages. The four take turns, like
// the sides of the other rows. Beside it, both directions at once: one
// program with two applications that call each other and send as much
// each way, linked and run with capi-bridge-run.
#include "library_peers.hpp"

#include <chrono>
#include <cstdlib>

namespace {

struct call_result {
  double blocks = 0;
  double seconds = 0;
  double peer_cpu = 0;    // both peers, while the blocks moved
  double bridge_cpu = 0;  // both bridges, the same
  double host_cpu = 0;    // the emulated host, for the whole call
  double round_trips = 0; // both peers' write calls to their bridges
  double gets = 0;
  double empty_gets = 0;

  void add(const call_result& r) {
    blocks += r.blocks;
    seconds += r.seconds;
    peer_cpu += r.peer_cpu;
    bridge_cpu += r.bridge_cpu;
    host_cpu += r.host_cpu;
    round_trips += r.round_trips;
    gets += r.gets;
    empty_gets += r.empty_gets;
  }
};

// One call from a sender to a receiver for `seconds`.
call_result run_call(library_host& host, const peer_variant& variant, double seconds) {
  call_result r;
  long host_pid = host.emulator.process_id();
  r.host_cpu = -cpu_seconds(host_pid);
  child receiver = start_peer(host, variant, {"--receive"});
  if (read_peer_line(receiver, "row 4") != "ready")
    fail_benchmark("the receiving peer did not get ready");
  child sender = start_peer(host, variant, {"--send", format("%.3f", seconds)});
  std::string sent_line = read_peer_line(sender, "row 4");
  std::string received_line = read_peer_line(receiver, "row 4");
  unsigned long long sent = 0, received = 0, round_trips[2] = {}, gets[2] = {}, empty[2] = {};
  double own[2] = {0, 0}, bridges[2] = {0, 0};
  if (std::sscanf(sent_line.c_str(), "sent %llu in %lf cpu %lf %lf requests %llu %llu %llu", &sent,
                  &r.seconds, &own[0], &bridges[0], &round_trips[0], &gets[0], &empty[0]) != 7 ||
      r.seconds <= 0)
    fail_benchmark("the sending peer failed: '" + sent_line + "'");
  if (std::sscanf(received_line.c_str(), "received %llu cpu %lf %lf requests %llu %llu %llu",
                  &received, &own[1], &bridges[1], &round_trips[1], &gets[1], &empty[1]) != 6 ||
      received != sent)
    fail_benchmark("the receiving peer did not get every block: '" + received_line + "'");
  finish_peer(sender);
  finish_peer(receiver);
  r.host_cpu += cpu_seconds(host_pid);
  r.blocks = static_cast<double>(sent);
  r.peer_cpu = own[0] + own[1];
  r.bridge_cpu = bridges[0] + bridges[1];
  r.round_trips = static_cast<double>(round_trips[0] + round_trips[1]);
  r.gets = static_cast<double>(gets[0] + gets[1]);
  r.empty_gets = static_cast<double>(empty[0] + empty[1]);
  return r;
}

// "peers + bridges + host = total" in microseconds per block.
std::string cpu_per_block(const call_result& r) {
  auto us = [&](double seconds) { return seconds / r.blocks * 1e6; };
  return format("%.1f + %.1f + %.1f = %.1f", us(r.peer_cpu), us(r.bridge_cpu), us(r.host_cpu),
                us(r.peer_cpu + r.bridge_cpu + r.host_cpu));
}

// Seconds for capi20_call's "call": 8 MiB each way between its two
// applications, 7 blocks in flight each; with `run` through capi-bridge-run.
double both_ways_seconds(const library_host& host, bool run) {
  std::vector<std::string> argv = {call_program(), "--host", "127.0.0.1", "--port",
                                   host.port,      "call",   "8388608"};
  if (run)
    argv.insert(argv.begin(), {run_program(), "--bridge", bridge_program()});
  auto start = std::chrono::steady_clock::now();
  child c = start_child(argv, {{"HOME", host.home}}, not_the_stand_in);
  if (finish_child(c) != 0)
    fail_benchmark("capi20_call did not end cleanly");
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Both directions at once, linked and run, taking turns; blocks/s (k) of
// both applications together, start to end of the program.
void both_ways_row(const bench_settings& s, const library_host& host, table& t) {
  const std::string figure = "DATA_B3 blocks/s (k) of 2048 bytes both ways at once: one program "
                             "with two applications calling each other, 8 MiB each way, 7 in "
                             "flight each (start to end); baseline: linked; run with "
                             "capi-bridge-run";
  if (call_program().empty() || run_program().empty()) {
    t.rows.push_back({"4", figure, "not built", "-", "-", "≥ 0.4", "-"});
    return;
  }
  const double blocks = 2.0 * 8388608 / 2048;
  std::vector<double> linked_rates, run_rates, ratios;
  int rounds = s.quick ? 1 : s.rounds;
  for (int round = 0; round < rounds; ++round) {
    double linked_s = 0, run_s = 0;
    if (round % 2 == 0) {
      linked_s = both_ways_seconds(host, false);
      run_s = both_ways_seconds(host, true);
    } else {
      run_s = both_ways_seconds(host, true);
      linked_s = both_ways_seconds(host, false);
    }
    linked_rates.push_back(blocks / linked_s);
    run_rates.push_back(blocks / run_s);
    ratios.push_back(linked_s / run_s);
  }
  add_timed_row(t, "4", figure, run_rates, linked_rates, ratios, 1000, 2, 0.4);
}

} // namespace

void library_rows(const bench_settings& s, table& t) {
  const std::string figure = "DATA_B3 blocks/s (k) of 2048 bytes from one application to "
                             "another, real libcapi20 and emulated host; baseline: both link the "
                             "library; bridged peers ";
  library_host host;
  if (!start_library_host(host, 300, 1, t, "4", figure + "waiting with W", "≥ 0.6"))
    return;

  // Side 0 is the baseline.
  struct side {
    peer_variant variant;
    std::string how; // how the bridged peers wait, for the table
    double target;   // 0: none
  };
  const side sides[] = {
      {linked("linked"), "", 0},
      {bridged("poll", "poll"), "polling without a pause", 0.8},
      {bridged("backoff", "backoff"), "polling with the client library's pauses (0, 1 ... 10 ms)",
       0},
      {bridged("wait", "wait"), "waiting with W", 0.6},
      {run_linked("run"),
       "that are the linking peers run with capi-bridge-run (their library calls answered by "
       "bridges)",
       0.5},
  };
  constexpr int side_count = 5;
  double seconds = s.quick ? 0.05 : 0.5;
  std::vector<double> rates[side_count];
  call_result totals[side_count];
  for (int round = 0; round < s.rounds; ++round) {
    double sum[side_count] = {};
    int turns[side_count] = {};
    for (int i : turn_order(side_count, round)) {
      call_result r = run_call(host, sides[i].variant, seconds);
      sum[i] += r.blocks / r.seconds;
      ++turns[i];
      totals[i].add(r);
    }
    for (int i = 0; i < side_count; ++i)
      rates[i].push_back(sum[i] / turns[i]);
  }
  both_ways_row(s, host, t);
  host.emulator.stop();

  for (int i = 1; i < side_count; ++i) {
    std::vector<double> ratios;
    for (std::size_t round = 0; round < rates[0].size(); ++round)
      ratios.push_back(rates[i][round] / rates[0][round]);
    add_timed_row(t, "4", figure + sides[i].how, rates[i], rates[0], ratios, 1000, 2,
                  sides[i].target);
  }
  for (int i = 1; i < side_count; ++i) {
    std::string cpu_figure = "CPU µs per block in row 4: peers + bridges + emulated host; ";
    t.rows.push_back({"4", cpu_figure + sides[i].how, cpu_per_block(totals[i]),
                      cpu_per_block(totals[0]), "-", "-", "-"});
  }
  for (int i = 1; i < side_count; ++i) {
    const call_result& b = totals[i];
    // The linking peers count no requests of their own.
    if (sides[i].variant.run)
      continue;
    std::string requests_figure =
        "pipe round trips and Gets (W included) per block in row 4, both ends; ";
    t.rows.push_back({"4", requests_figure + sides[i].how,
                      format("%.2f round trips, %.2f Gets (%.2f empty)", b.round_trips / b.blocks,
                             b.gets / b.blocks, b.empty_gets / b.blocks),
                      "none: the library is in the process", "-", "-", "-"});
  }
}
