// SPDX-License-Identifier: MIT
// The emulated host, the library's HOME and the peers of the rows through
// Debian's libcapi20.
#include "library_peers.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

const std::vector<std::string> not_the_stand_in = {"LD_LIBRARY_PATH", "FAKE_CAPI_SCRIPT",
                                                   "FAKE_CAPI_LOG"};

void fail_benchmark(const std::string& what) {
  std::fprintf(stderr, "capi-bridge-bench: %s\n", what.c_str());
  std::exit(1);
}

bool start_library_host(library_host& host, int first_appl_id, int controllers, table& t,
                        const std::string& row, const std::string& figure,
                        const std::string& target,
                        const std::vector<std::string>& emulator_arguments) {
  if (emulator_program().empty() || peer_program(false).empty()) {
    t.rows.push_back({row, figure, "not built", "not built", "-", target, "-"});
    t.notes.push_back("Row " + row + " needs capi-host-emulator and libcapi20-dev.");
    return false;
  }
  host.home = temp_path("home");
  std::filesystem::create_directory(host.home);
  std::ofstream(host.home + "/.capi20rc") << "TRACELEVEL 0\n";
  // The emulator stops by itself should we not.
  std::string error;
  std::vector<std::string> arguments = {"--first-appl-id", std::to_string(first_appl_id),
                                        "--controllers",   std::to_string(controllers),
                                        "--exit-after",    "3600"};
  arguments.insert(arguments.end(), emulator_arguments.begin(), emulator_arguments.end());
  if (!host.emulator.start(emulator_program(), arguments, "", error))
    fail_benchmark("the emulated host did not start: " + error);
  host.port = std::to_string(host.emulator.port());
  return true;
}

peer_variant linked(const std::string& name, bool nodelay) {
  peer_variant v;
  v.name = name;
  v.nodelay = nodelay;
  return v;
}

peer_variant bridged(const std::string& name, const std::string& get,
                     const environment_list& environment) {
  peer_variant v;
  v.name = name;
  v.bridge = true;
  v.get = get;
  v.environment = environment;
  return v;
}

peer_variant run_linked(const std::string& name) {
  peer_variant v;
  v.name = name;
  v.run = true;
  return v;
}

child start_peer(const library_host& host, const peer_variant& variant,
                 const std::vector<std::string>& work) {
  std::vector<std::string> argv = {peer_program(variant.bridge), "--port", host.port};
  if (variant.run)
    argv.insert(argv.begin(), {run_program(), "--bridge", bridge_program()});
  if (variant.bridge) {
    argv.insert(argv.end(), {"--bridge", bridge_program(), "--get", variant.get});
  } else if (variant.nodelay) {
    argv.push_back("--nodelay");
  }
  argv.insert(argv.end(), work.begin(), work.end());
  environment_list set = {{"HOME", host.home}};
  set.insert(set.end(), variant.environment.begin(), variant.environment.end());
  return start_child(argv, set, not_the_stand_in);
}

std::string read_peer_line(child& c, const std::string& what) {
  std::string line;
  if (c.read_line(line, capi_bridge::after(child_patience)) != capi_bridge::io_result::done)
    fail_benchmark(what + ": the peer said nothing (run it by hand to see its message)");
  return line;
}

void finish_peer(child& c) {
  if (finish_child(c) != 0)
    fail_benchmark("a peer did not end cleanly");
}

double cpu_seconds(long pid) {
  std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
  double nanoseconds = 0;
  schedstat >> nanoseconds;
  return nanoseconds / 1e9;
}

std::vector<double> read_latencies(const std::string& path) {
  std::ifstream in(path);
  std::vector<double> values;
  double v = 0;
  while (in >> v)
    values.push_back(v);
  return values;
}

double percentile(std::vector<double>& values, double fraction) {
  if (values.empty())
    return 0;
  std::sort(values.begin(), values.end());
  auto at = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())));
  return values[std::min(values.size() - 1, at > 0 ? at - 1 : 0)];
}

std::vector<int> turn_order(int sides, int round) {
  std::vector<int> order;
  for (int i = 0; i < sides; ++i)
    order.push_back((i + round) % sides);
  for (int i = sides - 1; i >= 0; --i)
    order.push_back(order[static_cast<std::size_t>(i)]);
  return order;
}
