// SPDX-License-Identifier: MIT
// capi-bridge-demo: shows the bridge at work. Without arguments it starts the
// emulated CAPI host and two bridges, lets one call the other, sends data
// both ways and checks every byte; with --host and --port it probes a real
// CAPI host: Open, the profile of every controller, Close. Where the emulated
// host cannot run (Windows), it only probes.
#include "capi_bridge/calls.hpp"
#include "capi_bridge/client.hpp"
#include "capi_bridge/emulator.hpp"
#include "report.hpp"
#include "toolkit/command_line.hpp"
#include "toolkit/exchange.hpp"
#include "toolkit/latency.hpp"
#include "toolkit/os.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

namespace fs = std::filesystem;
using namespace capi_bridge;
using namespace toolkit;

namespace {

const char usage_head[] = "Usage: capi-bridge-demo [OPTION]...\n";

const char usage_demonstration[] =
    R"(Shows capi-bridge at work. Without --host: starts capi-host-emulator on
127.0.0.1 and two bridges, A and B; prints the controllers' profiles; A calls
B, both send data with flow control, every byte is checked; A hangs up; a
summary follows. With --host: probes a real CAPI host through one bridge
without placing a call: Open, the profile of every controller, Close.
)";

const char usage_probe_only[] =
    R"(Shows capi-bridge at work. On Windows the demo probes a host and does not
start an emulator (the emulated host, capi-host-emulator, is a Linux program):
--host is required. It probes the CAPI host through one bridge without
placing a call: Open, the profile of every controller, Close. --bytes,
--emulator and --first-appl-id belong to the demonstration and do not apply.
)";

const char usage_options[] = R"(
  -h, --help           print this help and exit
  -V, --version        print the version and exit
      --host=ADDRESS   a CAPI host to probe (use a numeric address)
      --port=N         its port (default 2662, the library's own default)
      --bytes=N        data each way in the demonstration (default 307200)
      --trace          print every CAPI message, one line each
      --bridge=PATH    the bridge (default: capi-bridge, on Windows
                       capi-bridge.exe, beside this program, or in the folder
                       above it)
      --emulator=PATH  the emulated host (default: capi-host-emulator beside
                       this program, or in ../emulator)
      --first-appl-id=N  lowest application ID the emulated host hands out
      --capi-home=DIR  HOME for the bridges, whose .capi20rc the library
                       reads; by default a fresh folder whose .capi20rc holds
                       only TRACELEVEL 0, so that no REMOTE line of yours
                       redirects the library and its debug lines stay off
      --library-debug  let the library write its debug lines (into the
                       bridges' standard error files)
      --keep-logs      keep the folder with the logs

The bridges' standard error (the library's lines) goes to files in a
temporary folder, named at the end when anything is in them.
Exit status: 0 on success, 1 on a failure, 2 on bad usage.
)";

struct options {
  std::string host;
  unsigned long port = 2662;
  unsigned long bytes = 300 * 1024;
  bool trace = false;
  std::string bridge;
  std::string emulator;
  std::string first_appl_id;
  std::string capi_home;
  bool library_debug = false;
  bool keep_logs = false;
};

// Returns the exit status to leave with, or nullopt to go on.
std::optional<int> parse_options(int argc, char** argv, options& opt) {
  enum : int {
    host = 256,
    port,
    bytes,
    trace,
    bridge,
    emulator,
    first_appl_id,
    capi_home,
    library_debug,
    keep_logs,
  };
  const option long_options[] = {
      {"host", required_argument, nullptr, host},
      {"port", required_argument, nullptr, port},
      {"bytes", required_argument, nullptr, bytes},
      {"trace", no_argument, nullptr, trace},
      {"bridge", required_argument, nullptr, bridge},
      {"emulator", required_argument, nullptr, emulator},
      {"first-appl-id", required_argument, nullptr, first_appl_id},
      {"capi-home", required_argument, nullptr, capi_home},
      {"library-debug", no_argument, nullptr, library_debug},
      {"keep-logs", no_argument, nullptr, keep_logs},
      {nullptr, 0, nullptr, 0},
  };
  // Lives as long as the program: the command line keeps a pointer to it.
  static const std::string usage =
      std::string(usage_head) +
      (toolkit::emulator_runs_here ? usage_demonstration : usage_probe_only) + usage_options;
  command_line line("capi-bridge-demo", usage.c_str(), long_options);
  unsigned long number = 0;
  bool port_given = false;
  for (int o; (o = line.next(argc, argv)) != -1;) {
    switch (o) {
    case host:
      opt.host = line.value();
      if (opt.host.empty() || opt.host.size() > 255)
        line.reject("an address of 1 to 255 characters expected");
      break;
    case port:
      line.number(1, 65534, opt.port);
      port_given = true;
      break;
    case bytes:
      line.number(1, 64ul << 20, opt.bytes);
      break;
    case trace:
      opt.trace = true;
      break;
    case bridge:
      opt.bridge = line.value();
      break;
    case emulator:
      opt.emulator = line.value();
      break;
    case first_appl_id:
      if (line.number(1, 1023, number))
        opt.first_appl_id = std::to_string(number);
      break;
    case capi_home:
      opt.capi_home = line.value();
      break;
    case library_debug:
      opt.library_debug = true;
      break;
    case keep_logs:
      opt.keep_logs = true;
      break;
    }
  }
  if (!line.finished() && opt.host.empty() && !toolkit::emulator_runs_here)
    line.fail("on Windows the demo only probes a CAPI host: give --host=ADDRESS");
  if (!line.finished() && opt.host.empty() && port_given)
    line.fail("--port names the port of a host to probe: give --host=ADDRESS too");
  return line.finished();
}

// The first of `candidates` that exists, as given; the first one if none does.
std::string first_existing(const std::vector<fs::path>& candidates) {
  for (const fs::path& p : candidates)
    if (fs::exists(p))
      return p.string();
  return candidates.front().string();
}

// The folder the demonstration keeps its files in, and where they are.
struct workspace {
  fs::path folder;
  std::string home;

  bool create(const options& opt) {
    std::string error;
    folder = make_temporary_folder("capi-bridge-demo-", error);
    if (folder.empty()) {
      std::fprintf(stderr, "capi-bridge-demo: %s\n", error.c_str());
      return false;
    }
    home = opt.capi_home;
    if (home.empty()) {
      home = folder.string();
      std::ofstream(folder / ".capi20rc") << (opt.library_debug ? "" : "TRACELEVEL 0\n");
    }
    return true;
  }

  client_options bridge(const options& opt, const std::string& name) const {
    client_options o;
    o.command = {opt.bridge};
    o.environment = {{"HOME", home}};
    o.stderr_path = (folder / (name + ".stderr")).string();
    return o;
  }

  // Removes the folder unless asked to keep it, or a log in it says
  // something and either something went wrong or a bridge wrote to standard
  // error; in those cases says where it is. Empty logs tell nothing.
  void finish(const options& opt, bool success) const {
    bool written = false, anything = false;
    for (const auto& entry : fs::directory_iterator(folder)) {
      if (!entry.is_regular_file() || entry.file_size() == 0 ||
          entry.path().filename() == ".capi20rc")
        continue;
      anything = true;
      if (entry.path().extension() == ".stderr") {
        written = true;
        std::printf("The bridge's standard error (the library's lines) is in %s\n",
                    entry.path().string().c_str());
      }
    }
    if (opt.keep_logs || (anything && (!success || written))) {
      std::printf("Logs kept in %s\n", folder.string().c_str());
      return;
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }
};

void trace_to_stdout(client& c, const std::string& name) {
  c.set_trace([name](direction d, byte_view message) {
    std::printf("  %s %s %s\n", name.c_str(), d == direction::to_library ? "->" : "<-",
                capimsg::describe(message).c_str());
  });
}

// CapiRegNotInstalled, from the library and from the bridge alike.
constexpr std::uint32_t capi_not_installed = 0x1009;

std::string hex_info(std::uint32_t info) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(info));
  return text;
}

// What a failed Open means. The library's values say little ("CAPI not
// installed" is also its answer to a refused connection); the stage, how
// long it took and whose 0x1009 it is tell the cases apart.
std::string open_failure(const open_result& opened, const std::string& host, std::uint16_t port,
                         std::chrono::steady_clock::duration took) {
  const std::string where = host + ":" + std::to_string(port);
  const outcome& status = opened.status;
  if (status.from == source::transport) {
    if (took >= client_options{}.open_timeout)
      return "no answer from " + where + " within " +
             std::to_string(client_options{}.open_timeout.count() / 1000) +
             " s: the host took the connection and never answered the registration, or "
             "the address drops what is sent to it; the bridge was stopped";
    return "the bridge failed: " + status.failure;
  }
  if (opened.stage == open_stage::register_failed)
    return "the host at " + where + " took the connection but refused to register the " +
           "application: " + hex_info(status.info) + " " + info_text(status.info);
  // The client tells the bridge's 0x1009 (no library) from the library's.
  if (status.from == source::bridge && status.info == capi_not_installed)
    return std::string("the bridge could not load libcapi20 (") + toolkit::libcapi20_missing_hint +
           ")";
  if (status.info != capi_not_installed)
    return "libcapi20 found no CAPI at " + where + ": " + hex_info(status.info) + " " +
           info_text(status.info);
  const bool numeric = host.find_first_not_of("0123456789.") == std::string::npos;
  return "the host refused the connection at " + where + ", or cannot be reached" +
         (numeric ? "" : ", or its name does not resolve") + " (libcapi20 answered " +
         hex_info(status.info) + ": " + info_text(status.info) + ")";
}

// Open on `c`; false (with the reason printed) unless registered.
bool open_on(client& c, const std::string& name, const std::string& host, std::uint16_t port) {
  auto start = std::chrono::steady_clock::now();
  open_result opened = c.open(host, port, 2);
  if (!opened.status.ok() || opened.stage != open_stage::registered) {
    std::printf("%s: Open on %s:%u failed: %s\n", name.c_str(), host.c_str(), port,
                open_failure(opened, host, port, std::chrono::steady_clock::now() - start).c_str());
    return false;
  }
  std::printf("%s: application %lu registered on %s:%u\n", name.c_str(),
              static_cast<unsigned long>(opened.appl_id), host.c_str(), port);
  return true;
}

// Profile of controller 0 for the count, then of each controller.
bool print_profiles(client& c) {
  profile_result count = c.profile(0);
  if (!count.status.ok()) {
    std::printf("Profile of controller 0 failed: %s\n", count.status.text().c_str());
    return false;
  }
  std::printf("\n%u controller(s)\n", count.value.controllers);
  for (std::uint32_t controller = 1; controller <= count.value.controllers; ++controller) {
    profile_result p = c.profile(controller);
    if (!p.status.ok()) {
      std::printf("Profile of controller %lu failed: %s\n", static_cast<unsigned long>(controller),
                  p.status.text().c_str());
      return false;
    }
    print_profile(controller, p.value);
  }
  return true;
}

int probe(const options& opt, const workspace& w) {
  client c(w.bridge(opt, "bridge"));
  if (opt.trace)
    trace_to_stdout(c, "bridge");
  bool ok =
      open_on(c, "bridge", opt.host, static_cast<std::uint16_t>(opt.port)) && print_profiles(c);
  outcome closed = c.close();
  if (!closed.ok()) {
    std::printf("Close failed: %s\n", closed.text().c_str());
    ok = false;
  }
  std::printf("\n%s\n", ok ? "Probe finished: the host answers." : "Probe failed.");
  return ok ? 0 : 1;
}

int demonstrate(const options& opt, const workspace& w) {
  local_emulator host;
  std::vector<std::string> arguments = {"--controllers", "2", "--exit-after", "3600", "--verbose"};
  if (!opt.first_appl_id.empty())
    arguments.insert(arguments.end(), {"--first-appl-id", opt.first_appl_id});
  std::string error;
  if (!host.start(opt.emulator, arguments, (w.folder / "emulator.log").string(), error)) {
    std::printf("Cannot start the emulated host %s: %s\n", opt.emulator.c_str(), error.c_str());
    return 1;
  }
  std::printf("Emulated CAPI host listening on 127.0.0.1:%u\n", host.port());

  client a(w.bridge(opt, "bridge-a"));
  client b(w.bridge(opt, "bridge-b"));
  latency_histogram a_round_trips, b_round_trips;
  a.set_round_trip_trace([&](std::chrono::nanoseconds t) { a_round_trips.record(t); });
  b.set_round_trip_trace([&](std::chrono::nanoseconds t) { b_round_trips.record(t); });
  if (opt.trace) {
    trace_to_stdout(a, "A");
    trace_to_stdout(b, "B");
  }
  bool ok = open_on(a, "A", "127.0.0.1", host.port()) &&
            open_on(b, "B", "127.0.0.1", host.port()) && print_profiles(a);
  if (!ok)
    return 1;

  try {
    std::printf("\nA calls B (number 123) ...\n");
    call c = place_call(a, b, "123");
    std::printf("B answered; B3 connected (NCCI 0x%08lx on A, 0x%08lx on B)\n",
                static_cast<unsigned long>(c.caller_ncci),
                static_cast<unsigned long>(c.callee_ncci));

    two_way_data d = both_ways(a, b, c, opt.bytes);
    b3_stream& from_a = d.caller;
    b3_stream& from_b = d.callee;
    std::printf("\nSending %lu bytes each way in blocks of 2048, at most 7 unconfirmed:\n",
                opt.bytes);
    progress_bar bar(2 * opt.bytes, is_terminal(stdout) && !opt.trace);
    exchange_data({&from_a, &from_b}, step_timeout,
                  [&] { bar.show(from_a.incoming.size() + from_b.incoming.size()); });
    bar.finish();
    bool a_to_b = from_b.incoming == from_a.outgoing;
    bool b_to_a = from_a.incoming == from_b.outgoing;
    std::printf("A -> B: %s (digest %016llx)\n",
                a_to_b ? "every byte arrived, in order" : "DATA DIFFERS",
                static_cast<unsigned long long>(digest(from_b.incoming)));
    std::printf("B -> A: %s (digest %016llx)\n",
                b_to_a ? "every byte arrived, in order" : "DATA DIFFERS",
                static_cast<unsigned long long>(digest(from_a.incoming)));
    ok = a_to_b && b_to_a;

    std::printf("\nA hangs up\n");
    hang_up(a, c.caller_plci);
    await_b3_cleared(a, c.caller_ncci);
    await_cleared(a, c.caller_plci);
    await_b3_cleared(b, c.callee_ncci);
    std::uint16_t reason = await_cleared(b, c.callee_plci);
    std::printf("B was cleared: 0x%04x %s\n", reason, capimsg::info_text(reason));
  } catch (const call_error& e) {
    std::printf("\nThe call failed: %s\n", e.what());
    ok = false;
  }

  for (auto [end, name] : {std::pair{&a, "A"}, std::pair{&b, "B"}}) {
    outcome closed = end->close();
    if (!closed.ok()) {
      std::printf("%s: Close failed: %s\n", name, closed.text().c_str());
      ok = false;
    }
  }
  print_summary({{"A (caller)", &a, &a_round_trips}, {"B (callee)", &b, &b_round_trips}});
  host.stop();
  std::printf("\nOutcome: %s\n", ok ? "success" : "FAILURE");
  return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
  options opt;
  if (std::optional<int> status = parse_options(argc, argv, opt))
    return *status;
  fs::path here = program_folder();
  const std::string bridge_name = std::string("capi-bridge") + executable_suffix;
  if (opt.bridge.empty())
    opt.bridge = first_existing({here / bridge_name, here.parent_path() / bridge_name});
  if (opt.emulator.empty())
    opt.emulator = first_existing(
        {here / "capi-host-emulator", here.parent_path() / "emulator" / "capi-host-emulator"});
  workspace w;
  if (!w.create(opt))
    return 1;
  int status = opt.host.empty() ? demonstrate(opt, w) : probe(opt, w);
  w.finish(opt, status == 0);
  return status;
}
