// SPDX-License-Identifier: MIT
// Rows 7 and 9: what applications cost a machine in CPU, through Debian's
// libcapi20 and the emulated host. Row 7: an open application with nothing
// to do. Row 9: live calls, 8 blocks of 1000 bytes a second each way on an
// echo call, 10, 50 and 100 at once, and how many calls 2 CPUs would carry.
#include "library_peers.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace {

struct idle_side {
  library_host* host;
  peer_variant variant;
  std::string how;
  double own = 0; // CPU seconds
  double bridge = 0;
  double seconds = 0;
  std::vector<double> per_second; // client + bridge, each turn
};

void run_idle(idle_side& side, double seconds) {
  child peer = start_peer(*side.host, side.variant, {"--idle", format("%.3f", seconds)});
  std::string line = read_peer_line(peer, "row 7");
  double took = 0, own = 0, bridge = 0;
  if (std::sscanf(line.c_str(), "idle %lf cpu %lf %lf", &took, &own, &bridge) != 3)
    fail_benchmark("the idle peer failed: '" + line + "'");
  finish_peer(peer);
  side.own += own;
  side.bridge += bridge;
  side.seconds += took;
  side.per_second.push_back((own + bridge) / took);
}

// "client + bridge = total (min–max of the turns)" in ms per second.
std::string idle_cpu(const idle_side& side) {
  auto [low, high] = std::minmax_element(side.per_second.begin(), side.per_second.end());
  return format("%.3f + %.3f = %.3f (%.3f–%.3f)", side.own / side.seconds * 1000,
                side.bridge / side.seconds * 1000, (side.own + side.bridge) / side.seconds * 1000,
                *low * 1000, *high * 1000);
}

// CPU of a set of live calls: clients, their bridges, the host.
struct live_cpu {
  double clients = 0;
  double bridges = 0;
  double host = 0;
  double kib = 0; // proportional set size of clients and bridges
};

// Proportional set size (KiB): the process's own pages, and its share of
// those it maps with others.
double pss_kib(long pid) {
  std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
  std::string name;
  double value = 0;
  while (rollup >> name) {
    if (name == "Pss:" && rollup >> value)
      return value;
  }
  return 0;
}

struct live_peer {
  child process;
  long bridge_id = 0;
};

live_cpu sample(const std::vector<live_peer>& peers, long host_id) {
  live_cpu c;
  for (const live_peer& p : peers) {
    c.clients += cpu_seconds(p.process.id());
    c.kib += pss_kib(p.process.id());
    if (p.bridge_id != 0) {
      c.bridges += cpu_seconds(p.bridge_id);
      c.kib += pss_kib(p.bridge_id);
    }
  }
  c.host = cpu_seconds(host_id);
  return c;
}

// `count` live calls of `variant`, measured for `seconds` once all are up
// and have run for `warm_up`; CPU seconds per call and second.
live_cpu run_live_calls(library_host& host, const peer_variant& variant, int count, double warm_up,
                        double seconds) {
  std::vector<live_peer> peers;
  for (int i = 0; i < count; ++i) {
    // Two calls to a controller: each its own B channel.
    std::string controller = std::to_string(1 + i / 2);
    peers.push_back({start_peer(host, variant, {"--live", "--controller", controller}), 0});
  }
  for (live_peer& p : peers) {
    std::string line = read_peer_line(p.process, "row 9");
    if (std::sscanf(line.c_str(), "ready %ld", &p.bridge_id) != 1)
      fail_benchmark("a live call did not come up: '" + line + "'");
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(warm_up));
  live_cpu before = sample(peers, host.emulator.process_id());
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  live_cpu after = sample(peers, host.emulator.process_id());
  for (live_peer& p : peers)
    p.process.close_input();
  for (live_peer& p : peers) {
    std::string line = read_peer_line(p.process, "row 9");
    unsigned long long sent = 0, received = 0;
    if (std::sscanf(line.c_str(), "live sent %llu received %llu", &sent, &received) != 2 ||
        received + 1 < sent)
      fail_benchmark("a live call fell behind: '" + line + "'");
    finish_peer(p.process);
  }
  double per = seconds * count;
  return {(after.clients - before.clients) / per, (after.bridges - before.bridges) / per,
          (after.host - before.host) / per, after.kib / count};
}

} // namespace

void idle_rows(const bench_settings& s, table& t) {
  const std::string figure = "idle CPU per open application (ms/s): client + bridge; baseline: "
                             "linked, blocking in capi20_waitformessage 1 s at a time; ";
  library_host host;
  if (!start_library_host(host, 400, 1, t, "7", figure + "waiting with W(1000)", "≤ 3× baseline"))
    return;
  // A host that sends every application the first 10 bytes of a 23-byte
  // frame right after registering, and holds back the rest.
  library_host holding_back;
  const std::string held_back =
      "waiting with W(1000) while the host holds back the rest of a frame";
  if (!start_library_host(holding_back, 460, 1, t, "7", figure + held_back, "bridge ≤ 1 ms/s",
                          {"--inject-after=0", "--inject=801400 1400 0000 8082"}))
    return;
  std::vector<idle_side> sides = {
      {&host, linked("linked"), "", 0, 0, 0, {}},
      {&host, bridged("khz", "khz"), "polling with Get at 1 kHz", 0, 0, 0, {}},
      {&host, bridged("wait", "wait"), "waiting with W(1000)", 0, 0, 0, {}},
      {&holding_back, bridged("wait", "wait"), held_back, 0, 0, 0, {}},
      {&host,
       run_linked("run"),
       "the linked program run with capi-bridge-run, blocking in capi20_waitformessage 1 s at a "
       "time",
       0,
       0,
       0,
       {}},
  };
  // Turns of a few seconds: the figures are small, and W(1000) ends once a second.
  int rounds = s.quick ? 1 : std::min(s.rounds, 3);
  double seconds = s.quick ? 0.2 : 3;
  for (int round = 0; round < rounds; ++round)
    for (int i : turn_order(static_cast<int>(sides.size()), round))
      run_idle(sides[static_cast<std::size_t>(i)], seconds);
  host.emulator.stop();
  holding_back.emulator.stop();

  const idle_side& base = sides[0];
  double base_cost = (base.own + base.bridge) / base.seconds;
  for (std::size_t i = 1; i < sides.size(); ++i) {
    const idle_side& side = sides[i];
    double ratio = (side.own + side.bridge) / side.seconds / base_cost;
    if (side.host == &holding_back) {
      double bridge_ms = side.bridge / side.seconds * 1000;
      t.rows.push_back({"7", figure + side.how, idle_cpu(side), format("%.3f", base_cost * 1000),
                        format("%.1f", ratio), "bridge ≤ 1 ms/s", bridge_ms <= 1 ? "yes" : "no"});
      continue;
    }
    bool targeted = side.variant.get == "wait" || side.variant.run;
    // A program run with capi-bridge-run: at most twice what it costs linked.
    double most = side.variant.run ? 2 : 3;
    t.rows.push_back({"7", figure + side.how, idle_cpu(side), format("%.3f", base_cost * 1000),
                      format("%.1f", ratio), targeted ? format("≤ %.0f× baseline", most) : "-",
                      !targeted       ? "-"
                      : ratio <= most ? "yes"
                                      : "no"});
  }
}

void capacity_rows(const bench_settings& s, table& t) {
  const std::string figure = "live calls (8 blocks of 1000 bytes a second each way) on 2 CPUs: "
                             "2 CPUs / the highest CPU per call above; bridges with W; baseline: "
                             "linked";
  const std::vector<int> counts = s.quick ? std::vector<int>{2, 4} : std::vector<int>{10, 50, 100};
  library_host host;
  if (!start_library_host(host, 500, (counts.back() + 1) / 2, t, "9", figure, "≥ 500"))
    return;
  double warm_up = s.quick ? 0.1 : 1, seconds = s.quick ? 0.3 : 3;
  const peer_variant variants[2] = {bridged("wait", "wait"), linked("linked")};
  double highest[2] = {0, 0}, highest_with_host[2] = {0, 0};
  for (int count : counts) {
    live_cpu sum[2];
    int turns[2] = {0, 0};
    // Bridges, linked, linked, bridges.
    for (int i : {0, 1, 1, 0}) {
      live_cpu c = run_live_calls(host, variants[i], count, warm_up, seconds);
      sum[i].clients += c.clients;
      sum[i].bridges += c.bridges;
      sum[i].host += c.host;
      sum[i].kib += c.kib;
      ++turns[i];
    }
    std::string cells[2], memory[2];
    for (int i = 0; i < 2; ++i) {
      double clients = sum[i].clients / turns[i] * 1000, bridges = sum[i].bridges / turns[i] * 1000,
             hosted = sum[i].host / turns[i] * 1000;
      highest[i] = std::max(highest[i], clients + bridges);
      highest_with_host[i] = std::max(highest_with_host[i], clients + bridges + hosted);
      cells[i] = i == 0 ? format("%.3f + %.3f = %.3f (host %.3f)", clients, bridges,
                                 clients + bridges, hosted)
                        : format("%.3f (host %.3f)", clients, hosted);
      memory[i] = format("%.0f", sum[i].kib / turns[i]);
    }
    double ratio = (sum[0].clients + sum[0].bridges) / sum[1].clients;
    t.rows.push_back({"9",
                      "CPU per live call (ms/s) at " + std::to_string(count) +
                          " calls: client + bridge (the emulated host apart)",
                      cells[0], cells[1], format("%.1f", ratio), "-", "-"});
    t.rows.push_back({"9",
                      "proportional set size per live call (KiB) at " + std::to_string(count) +
                          " calls: client and bridge",
                      memory[0], memory[1], format("%.1f", sum[0].kib / sum[1].kib), "-", "-"});
  }
  host.emulator.stop();
  double calls[2] = {2000 / highest[0], 2000 / highest[1]};
  t.rows.push_back(
      {"9", figure,
       format("%.0f (%.0f with the host's CPU)", calls[0], 2000 / highest_with_host[0]),
       format("%.0f (%.0f with the host's CPU)", calls[1], 2000 / highest_with_host[1]),
       format("%.2f", calls[0] / calls[1]), "≥ 500", calls[0] >= 500 ? "yes" : "no"});
}
