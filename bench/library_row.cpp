// Row 4: DATA_B3 blocks from one application to another through Debian's
// libcapi20 and the emulated CAPI host: two capi-peer-bridge programs, each
// with its bridge, against two capi-peer-direct programs that link the
// library. Both pairs take turns, like the sides of the other rows.
#include "rows.hpp"

#include "child.hpp"
#include "harness/emulator.hpp"
#include "setup.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "capi-bridge-bench: %s\n", what.c_str());
  std::exit(1);
}

// One line of a peer's output; empty when none comes within a minute.
std::string read_line(child& c) {
  std::string line;
  if (c.read_line(line, capi_bridge::after(std::chrono::milliseconds(60000))) !=
      capi_bridge::io_result::done)
    line.clear();
  return line;
}

struct call_setup {
  std::string home; // HOME for the library: a .capi20rc with only TRACELEVEL 0
  std::string port;
};

// The library must not find the stand-in, and reads its configuration from HOME.
const std::vector<std::string> not_the_stand_in = {"LD_LIBRARY_PATH", "FAKE_CAPI_SCRIPT",
                                                   "FAKE_CAPI_LOG"};

struct call_result {
  double blocks = 0;
  double seconds = 0;
  double peer_cpu = 0;    // both peers, while the blocks moved
  double bridge_cpu = 0;  // both bridges, the same
  double host_cpu = 0;    // the emulated host, for the whole call
  double round_trips = 0; // both peers' write calls to their bridges
  double gets = 0;
  double empty_gets = 0;
};

double cpu_seconds(long pid) {
  std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
  double nanoseconds = 0;
  schedstat >> nanoseconds;
  return nanoseconds / 1e9;
}

// One call from a sender to a receiver for `seconds`.
call_result run_call(const call_setup& setup, long host, bool bridge, double seconds) {
  std::vector<std::string> tail;
  if (bridge)
    tail = {"--bridge", bridge_program()};
  call_result r;
  r.host_cpu = -cpu_seconds(host);
  std::vector<std::string> receiver_argv = {peer_program(bridge), "--port", setup.port,
                                            "--receive"};
  receiver_argv.insert(receiver_argv.end(), tail.begin(), tail.end());
  child receiver = start_child(receiver_argv, {{"HOME", setup.home}}, not_the_stand_in);
  if (read_line(receiver) != "ready")
    fail("the receiving peer did not get ready");

  char slice[32];
  std::snprintf(slice, sizeof slice, "%.3f", seconds);
  std::vector<std::string> sender_argv = {peer_program(bridge), "--port", setup.port, "--send",
                                          slice};
  sender_argv.insert(sender_argv.end(), tail.begin(), tail.end());
  child sender = start_child(sender_argv, {{"HOME", setup.home}}, not_the_stand_in);
  std::string sent_line = read_line(sender);
  std::string received_line = read_line(receiver);
  unsigned long long sent = 0, received = 0, round_trips[2] = {}, gets[2] = {}, empty[2] = {};
  double own[2] = {0, 0}, bridges[2] = {0, 0};
  if (std::sscanf(sent_line.c_str(), "sent %llu in %lf cpu %lf %lf requests %llu %llu %llu", &sent,
                  &r.seconds, &own[0], &bridges[0], &round_trips[0], &gets[0], &empty[0]) != 7 ||
      r.seconds <= 0)
    fail("the sending peer failed: '" + sent_line + "'");
  if (std::sscanf(received_line.c_str(), "received %llu cpu %lf %lf requests %llu %llu %llu",
                  &received, &own[1], &bridges[1], &round_trips[1], &gets[1], &empty[1]) != 6 ||
      received != sent)
    fail("the receiving peer did not get every block: '" + received_line + "'");
  r.round_trips = static_cast<double>(round_trips[0] + round_trips[1]);
  r.gets = static_cast<double>(gets[0] + gets[1]);
  r.empty_gets = static_cast<double>(empty[0] + empty[1]);
  if (finish_child(sender) != 0 || finish_child(receiver) != 0)
    fail("a peer did not end cleanly");
  r.host_cpu += cpu_seconds(host);
  r.blocks = static_cast<double>(sent);
  r.peer_cpu = own[0] + own[1];
  r.bridge_cpu = bridges[0] + bridges[1];
  return r;
}

// "peers + bridges + host = total" in microseconds per block.
std::string cpu_per_block(const call_result& r) {
  auto us = [&](double seconds) { return seconds / r.blocks * 1e6; };
  char text[128];
  std::snprintf(text, sizeof text, "%.1f + %.1f + %.1f = %.1f", us(r.peer_cpu), us(r.bridge_cpu),
                us(r.host_cpu), us(r.peer_cpu + r.bridge_cpu + r.host_cpu));
  return text;
}

} // namespace

void library_rows(const bench_settings& s, table& t) {
  const char* figure = "DATA_B3 blocks/s (k) of 2048 bytes from one application to another, "
                       "real libcapi20 and emulated host; baseline: both link the library";
  if (emulator_program().empty() || peer_program(false).empty()) {
    t.rows.push_back({"4", figure, "not built", "not built", "-", "≥ 0.8", "-"});
    t.notes.push_back("Row 4 needs capi-host-emulator and libcapi20-dev.");
    return;
  }
  call_setup setup;
  setup.home = temp_path("home");
  std::filesystem::create_directory(setup.home);
  std::ofstream(setup.home + "/.capi20rc") << "TRACELEVEL 0\n";

  // The emulator hands out application IDs from 300 up, clear of other users
  // of the machine-wide ID table, and stops by itself should we not.
  harness::local_emulator emulator;
  std::string error;
  if (!emulator.start(emulator_program(), {"--first-appl-id", "300", "--exit-after", "1800"}, "",
                      error))
    fail("the emulated host did not start: " + error);
  setup.port = std::to_string(emulator.port());

  double seconds = s.quick ? 0.05 : 0.5;
  int slices = s.quick ? 1 : 2;
  std::vector<double> rates[2], ratios;
  call_result totals[2];
  for (int round = 0; round < s.rounds; ++round) {
    double sum[2] = {0, 0};
    for (int turn = 0; turn < 2 * slices; ++turn) {
      int side = (turn % 4 == 0 || turn % 4 == 3) ? 0 : 1;
      call_result r = run_call(setup, emulator.process_id(), side == 0, seconds);
      sum[side] += r.blocks / r.seconds;
      totals[side].blocks += r.blocks;
      totals[side].peer_cpu += r.peer_cpu;
      totals[side].bridge_cpu += r.bridge_cpu;
      totals[side].host_cpu += r.host_cpu;
      totals[side].round_trips += r.round_trips;
      totals[side].gets += r.gets;
      totals[side].empty_gets += r.empty_gets;
    }
    for (int side = 0; side < 2; ++side)
      rates[side].push_back(sum[side] / slices);
    ratios.push_back(rates[0].back() / rates[1].back());
  }
  emulator.stop();
  add_timed_row(t, "4", figure, rates[0], rates[1], ratios, 1000, 2, 0.8);
  t.rows.push_back({"4", "CPU µs per block in row 4: peers + bridges + emulated host",
                    cpu_per_block(totals[0]), cpu_per_block(totals[1]), "-", "-", "-"});
  const call_result& b = totals[0];
  char requests[128];
  std::snprintf(requests, sizeof requests, "%.2f round trips, %.2f Gets (%.2f empty)",
                b.round_trips / b.blocks, b.gets / b.blocks, b.empty_gets / b.blocks);
  t.rows.push_back({"4", "pipe round trips and Gets per block in row 4, both ends", requests,
                    "none: the library is in the process", "-", "-", "-"});
}
