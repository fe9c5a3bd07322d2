// SPDX-License-Identifier: MIT
// Rows 8 and 10: how long a message takes through Debian's libcapi20 and the
// emulated host. Row 8: a DATA_B3_IND from the moment its DATA_B3_REQ is put
// to the moment the receiving client holds it, the receiver behind a bridge
// in three ways of waiting or linking the library. Row 10: an interactive
// echo's round trip, with and without TCP_NODELAY on the library's socket.
// CLOCK_MONOTONIC is shared by every process, so a time taken in one
// process and one taken in another can be subtracted.
#include "library_peers.hpp"

#include <cstdlib>

namespace {

struct timed_side {
  peer_variant variant;
  std::string how;           // for the table
  std::vector<double> times; // nanoseconds
  double cpu = 0;            // the measured end: client + bridge
  double bridge_cpu = 0;
  double seconds = 0;
};

// One call: the receiver of `side` and a sender that links the library and
// puts one block of 1000 bytes at random intervals of 30 to 70 ms.
void run_paced_call(library_host& host, timed_side& side, double seconds) {
  std::string file = temp_path("latencies");
  child receiver = start_peer(host, side.variant, {"--receive", "--latencies", file});
  if (read_peer_line(receiver, "row 8") != "ready")
    fail_benchmark("the receiving peer did not get ready");
  child sender = start_peer(host, linked("sender", true), {"--paced", format("%.3f", seconds)});
  std::string sent_line = read_peer_line(sender, "row 8");
  std::string received_line = read_peer_line(receiver, "row 8");
  unsigned long long sent = 0, received = 0;
  double took = 0, own = 0, bridge = 0;
  if (std::sscanf(sent_line.c_str(), "sent %llu in %lf", &sent, &took) != 2)
    fail_benchmark("the sending peer failed: '" + sent_line + "'");
  if (std::sscanf(received_line.c_str(), "received %llu cpu %lf %lf", &received, &own, &bridge) !=
          3 ||
      received != sent)
    fail_benchmark("the receiving peer did not get every block: '" + received_line + "'");
  finish_peer(sender);
  finish_peer(receiver);
  std::vector<double> times = read_latencies(file);
  side.times.insert(side.times.end(), times.begin(), times.end());
  side.cpu += own + bridge;
  side.bridge_cpu += bridge;
  side.seconds += took;
}

// One echo call of `side` for `seconds`.
void run_echo_call(library_host& host, timed_side& side, double seconds) {
  std::string file = temp_path("round-trips");
  child peer =
      start_peer(host, side.variant, {"--echo", format("%.3f", seconds), "--latencies", file});
  std::string line = read_peer_line(peer, "row 10");
  unsigned long long echoed = 0;
  double own = 0, bridge = 0;
  if (std::sscanf(line.c_str(), "echoed %llu cpu %lf %lf", &echoed, &own, &bridge) != 3)
    fail_benchmark("the echoing peer failed: '" + line + "'");
  finish_peer(peer);
  std::vector<double> times = read_latencies(file);
  side.times.insert(side.times.end(), times.begin(), times.end());
  side.cpu += own + bridge;
  side.bridge_cpu += bridge;
  side.seconds += seconds;
}

// Microseconds from nanoseconds: a decimal below 100 µs.
std::string micro(double nanoseconds) {
  double us = nanoseconds / 1000;
  return format(us < 100 ? "%.1f" : "%.0f", us);
}

// "p50 / p99 (n COUNT)" in microseconds.
std::string p50_p99(timed_side& side) {
  std::vector<double>& v = side.times;
  return micro(percentile(v, 0.5)) + " / " + micro(percentile(v, 0.99)) + " (n " +
         std::to_string(v.size()) + ")";
}

// Every side twice a round, in turns that move along from round to round.
void take_turns(const bench_settings& s, std::vector<timed_side>& sides,
                void (*run)(library_host&, timed_side&, double), library_host& host,
                double seconds) {
  for (int round = 0; round < s.rounds; ++round)
    for (int i : turn_order(static_cast<int>(sides.size()), round))
      run(host, sides[static_cast<std::size_t>(i)], seconds);
}

} // namespace

void latency_rows(const bench_settings& s, table& t) {
  const std::string figure = "DATA_B3_IND latency (µs), p50 / p99: from the sender's put to the "
                             "client holding it, blocks of 1000 bytes 30–70 ms apart; baseline: "
                             "the receiver links the library; receiver behind a bridge ";
  library_host host;
  if (!start_library_host(host, 420, 1, t, "8", figure + "waiting with W", "p50 ≤ baseline + 100"))
    return;
  std::vector<timed_side> sides = {
      {linked("linked"), "", {}, 0, 0, 0},
      {bridged("poll", "poll"), "polling without a pause", {}, 0, 0, 0},
      {bridged("backoff", "backoff"), "polling with the client library's pauses", {}, 0, 0, 0},
      {bridged("wait", "wait"), "waiting with W", {}, 0, 0, 0},
  };
  take_turns(s, sides, run_paced_call, host, s.quick ? 0.3 : 2);
  host.emulator.stop();

  timed_side& base = sides[0];
  double base_p50 = percentile(base.times, 0.5);
  for (std::size_t i = 1; i < sides.size(); ++i) {
    timed_side& side = sides[i];
    double difference = percentile(side.times, 0.5) - base_p50;
    bool targeted = side.variant.get == "wait";
    t.rows.push_back(
        {"8", figure + side.how, p50_p99(side), p50_p99(base),
         "p50 " + std::string(difference >= 0 ? "+" : "−") + micro(std::abs(difference)) + " µs",
         targeted ? "p50 ≤ baseline + 100" : "-",
         !targeted             ? "-"
         : difference <= 100e3 ? "yes"
                               : "no"});
  }
  for (std::size_t i = 1; i < sides.size(); ++i) {
    timed_side& side = sides[i];
    auto per_second = [](const timed_side& x, double cpu) { return cpu / x.seconds * 1000; };
    t.rows.push_back({"8", "CPU of the receiving end in row 8 (ms/s): client + bridge; " + side.how,
                      format("%.3f + %.3f = %.3f", per_second(side, side.cpu - side.bridge_cpu),
                             per_second(side, side.bridge_cpu), per_second(side, side.cpu)),
                      format("%.3f", per_second(base, base.cpu)),
                      format("%.1f", side.cpu / side.seconds / (base.cpu / base.seconds)), "-",
                      "-"});
  }
}

void echo_rows(const bench_settings& s, table& t) {
  const std::string figure =
      "echo round trip (µs), p50 / p99: a 1000-byte DATA_B3_REQ to its echo's DATA_B3_IND, the "
      "DATA_B3_RESP put just before the next DATA_B3_REQ; ";
  library_host host;
  if (!start_library_host(host, 440, 1, t, "10", figure + "bridge (W)",
                          "p50 < 1 ms, ≤ 2× baseline"))
    return;
  // The bridge sets TCP_NODELAY; to see it without, the shim drops that one
  // setsockopt, which leaves the bridge as it was before it set the option.
  std::vector<timed_side> sides = {
      {linked("linked, TCP_NODELAY", true), "", {}, 0, 0, 0},
      {bridged("bridge", "wait"), "", {}, 0, 0, 0},
      {bridged("bridge without TCP_NODELAY", "wait", {{"LD_PRELOAD", no_nodelay_library()}}),
       "",
       {},
       0,
       0,
       0},
      {linked("linked, no TCP_NODELAY"), "", {}, 0, 0, 0},
      {run_linked("linked, run with capi-bridge-run"), "", {}, 0, 0, 0},
  };
  take_turns(s, sides, run_echo_call, host, s.quick ? 0.1 : 1);
  host.emulator.stop();

  double with = percentile(sides[1].times, 0.5), base = percentile(sides[0].times, 0.5);
  bool met = with < 1e6 && with <= 2 * base;
  t.rows.push_back({"10",
                    figure + "bridge (W; it sets TCP_NODELAY); baseline: linked, TCP_NODELAY set "
                             "on its socket (capi20_fileno)",
                    p50_p99(sides[1]), p50_p99(sides[0]), format("%.2f", with / base),
                    "p50 < 1 ms, ≤ 2× baseline", met ? "yes" : "no"});
  t.rows.push_back(
      {"10",
       figure + "bridge with its TCP_NODELAY taken away (as before it set it); "
                "baseline: linked, the socket as the driver leaves it",
       p50_p99(sides[2]), p50_p99(sides[3]),
       format("%.2f", percentile(sides[2].times, 0.5) / percentile(sides[3].times, 0.5)), "-",
       "-"});
  double run = percentile(sides[4].times, 0.5);
  t.rows.push_back({"10",
                    figure + "the linked program run with capi-bridge-run (the bridges set "
                             "TCP_NODELAY); baseline: linked, TCP_NODELAY set on its socket",
                    p50_p99(sides[4]), p50_p99(sides[0]), format("%.2f", run / base),
                    "≤ 2× baseline", run <= 2 * base ? "yes" : "no"});
  auto per_echo = [](const timed_side& side, double cpu) {
    return cpu / static_cast<double>(side.times.size()) * 1e6;
  };
  const timed_side& bridge = sides[1];
  const timed_side& linked_side = sides[0];
  t.rows.push_back(
      {"10", "CPU µs per echo with TCP_NODELAY: client + bridge",
       format("%.1f + %.1f = %.1f", per_echo(bridge, bridge.cpu - bridge.bridge_cpu),
              per_echo(bridge, bridge.bridge_cpu), per_echo(bridge, bridge.cpu)),
       format("%.1f", per_echo(linked_side, linked_side.cpu)),
       format("%.2f", per_echo(bridge, bridge.cpu) / per_echo(linked_side, linked_side.cpu)), "-",
       "-"});
}
