// SPDX-License-Identifier: MIT
// capi-bridge-soak: two long-lived bridges through the emulated CAPI host for
// a given time, with a random mix of calls in either direction, echo calls,
// data both ways and hang-ups from either side. Every byte is checked by
// digest and the bridges' resident memory is sampled; it fails on any loss
// and on memory that keeps growing.
#include "capi_bridge/calls.hpp"
#include "capi_bridge/client.hpp"
#include "harness/emulator.hpp"
#include "toolkit/command_line.hpp"
#include "toolkit/exchange.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace capi_bridge;
using namespace toolkit;
using namespace std::chrono_literals;

namespace {

const char usage_text[] = R"(Usage: capi-bridge-soak [OPTION]...
Runs two bridges, A and B, against capi-host-emulator on 127.0.0.1 for the
given time: calls A to B, B to A and to the echo number, a random amount of
data each way (up to --max-bytes), hung up by a random side. Prints the
figures at the end; exit status 1 on any lost or changed byte, any failed
step, or resident memory of a bridge growing by more than --max-growth KiB
between the first call and the end.

  -h, --help             print this help and exit
  -V, --version          print the version and exit
      --seconds=N        how long to run (default 60)
      --max-bytes=N      most data each way in one call (default 262144)
      --max-growth=KIB   allowed growth of a bridge's resident memory
                         (default 256)
      --seed=N           seed of the random mix (default: the time)
      --bridge=PATH      the bridge (default: the one built with this program)
      --emulator=PATH    the emulated host (default: the one built with this
                         program)
      --first-appl-id=N  lowest application ID the emulated host hands out
                         (default 900)

Exit status: 0 when every byte arrived and memory stayed put, 1 on a
failure, 2 on bad usage.
)";

struct options {
  unsigned long seconds = 60;
  unsigned long max_bytes = 256 * 1024;
  unsigned long max_growth_kib = 256;
  unsigned long seed = 0;
  std::string bridge = CAPI_BRIDGE_EXECUTABLE;
  std::string emulator = CAPI_HOST_EMULATOR;
  std::string first_appl_id = "900";
};

// Returns the exit status to leave with, or nullopt to go on.
std::optional<int> parse(int argc, char** argv, options& opt) {
  enum : int { seconds = 256, max_bytes, max_growth, seed, bridge, emulator, first_appl_id };
  const option long_options[] = {
      {"seconds", required_argument, nullptr, seconds},
      {"max-bytes", required_argument, nullptr, max_bytes},
      {"max-growth", required_argument, nullptr, max_growth},
      {"seed", required_argument, nullptr, seed},
      {"bridge", required_argument, nullptr, bridge},
      {"emulator", required_argument, nullptr, emulator},
      {"first-appl-id", required_argument, nullptr, first_appl_id},
      {nullptr, 0, nullptr, 0},
  };
  opt.seed = static_cast<unsigned long>(std::time(nullptr));
  command_line line("capi-bridge-soak", usage_text, long_options);
  unsigned long number = 0;
  for (int o; (o = line.next(argc, argv)) != -1;) {
    switch (o) {
    case seconds:
      line.number(0, 7 * 24 * 3600, opt.seconds);
      break;
    case max_bytes:
      line.number(1, 1ul << 30, opt.max_bytes);
      break;
    case max_growth:
      line.number(0, 1ul << 30, opt.max_growth_kib);
      break;
    case seed:
      line.number(0, 0xffffffff, opt.seed);
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
    }
  }
  return line.finished();
}

// Resident memory of a process in KiB, from /proc; 0 if unknown.
unsigned long resident_kib(long pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0)
      return std::strtoul(line.c_str() + 6, nullptr, 10);
  return 0;
}

struct totals {
  unsigned long calls = 0;
  unsigned long echo_calls = 0;
  unsigned long long bytes_a_to_b = 0;
  unsigned long long bytes_b_to_a = 0;
  unsigned long long bytes_echoed = 0;
};

b3_stream stream(client& end, std::uint32_t ncci, bytes outgoing, std::size_t incoming) {
  b3_stream s;
  s.end = &end;
  s.ncci = ncci;
  s.outgoing = std::move(outgoing);
  s.expected_incoming = incoming;
  return s;
}

// One call between the two bridges, data both ways, cleared by a random side.
void two_party_call(client& caller, client& callee, std::size_t out, std::size_t back,
                    bool callee_hangs_up, std::uint32_t seed) {
  call c = place_call(caller, callee, "123");
  b3_stream a = stream(caller, c.caller_ncci, pattern(seed, out), back);
  b3_stream b = stream(callee, c.callee_ncci, pattern(seed + 1, back), out);
  exchange_data({&a, &b});
  if (digest(a.incoming) != digest(b.outgoing) || digest(b.incoming) != digest(a.outgoing))
    throw call_error("data arrived changed");

  client& hanger = callee_hangs_up ? callee : caller;
  client& other = callee_hangs_up ? caller : callee;
  std::uint32_t hanger_plci = callee_hangs_up ? c.callee_plci : c.caller_plci;
  std::uint32_t other_plci = callee_hangs_up ? c.caller_plci : c.callee_plci;
  hang_up(hanger, hanger_plci);
  await_b3_cleared(hanger, callee_hangs_up ? c.callee_ncci : c.caller_ncci);
  await_cleared(hanger, hanger_plci);
  await_b3_cleared(other, callee_hangs_up ? c.caller_ncci : c.callee_ncci);
  await_cleared(other, other_plci);
}

void echo_call(client& caller, std::size_t out, std::uint32_t seed) {
  call c = place_echo_call(caller, "999");
  b3_stream s = stream(caller, c.caller_ncci, pattern(seed, out), out);
  exchange_data({&s});
  if (digest(s.incoming) != digest(s.outgoing))
    throw call_error("echoed data arrived changed");
  hang_up(caller, c.caller_plci);
  await_b3_cleared(caller, c.caller_ncci);
  await_cleared(caller, c.caller_plci);
}

} // namespace

int main(int argc, char** argv) {
  options opt;
  if (std::optional<int> status = parse(argc, argv, opt))
    return *status;

  // The library reads $HOME/.capi20rc: a fresh one keeps it quiet and keeps
  // any REMOTE line of the user's from redirecting it.
  fs::path folder = fs::temp_directory_path() / ("capi-bridge-soak-" + std::to_string(getpid()));
  fs::create_directories(folder);
  std::ofstream(folder / ".capi20rc") << "TRACELEVEL 0\n";

  local_emulator emulator;
  std::string error;
  if (!emulator.start(opt.emulator, {"--first-appl-id", opt.first_appl_id},
                      (folder / "emulator.log").string(), error)) {
    std::fprintf(stderr, "capi-bridge-soak: %s\n", error.c_str());
    return 1;
  }
  auto bridge = [&](const char* name) {
    client_options o;
    o.command = {opt.bridge};
    o.environment = {{"HOME", folder.string()}};
    o.stderr_path = (folder / (std::string("bridge-") + name + ".log")).string();
    return o;
  };
  client a(bridge("a"));
  client b(bridge("b"));
  for (client* end : {&a, &b}) {
    open_result opened = end->open("127.0.0.1", emulator.port(), 2);
    if (!opened.status.ok()) {
      std::fprintf(stderr, "capi-bridge-soak: open: %s\n", opened.status.text().c_str());
      return 1;
    }
  }
  listen(a, 1, cip_mask_unrestricted_digital);

  std::mt19937 random(static_cast<std::uint32_t>(opt.seed));
  auto size = [&] { return std::uniform_int_distribution<std::size_t>(0, opt.max_bytes)(random); };
  totals done;
  unsigned long rss_a_first = 0, rss_b_first = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(opt.seconds);
  std::string failure;
  try {
    do {
      std::size_t out = size(), back = size();
      auto seed = static_cast<std::uint32_t>(random());
      switch (random() % 3) {
      case 0:
        two_party_call(a, b, out, back, random() % 2 == 0, seed);
        done.bytes_a_to_b += out;
        done.bytes_b_to_a += back;
        break;
      case 1:
        two_party_call(b, a, out, back, random() % 2 == 0, seed);
        done.bytes_b_to_a += out;
        done.bytes_a_to_b += back;
        break;
      default:
        echo_call(random() % 2 == 0 ? a : b, out, seed);
        done.bytes_echoed += out;
        ++done.echo_calls;
        break;
      }
      ++done.calls;
      if (done.calls == 1) {
        rss_a_first = resident_kib(a.process_id());
        rss_b_first = resident_kib(b.process_id());
      }
    } while (std::chrono::steady_clock::now() < deadline);
  } catch (const call_error& e) {
    failure = e.what();
  }

  unsigned long rss_a_end = resident_kib(a.process_id());
  unsigned long rss_b_end = resident_kib(b.process_id());
  traffic ta = a.counters(), tb = b.counters();
  for (client* end : {&a, &b})
    if (!end->close().ok() && failure.empty())
      failure = "close failed";
  emulator.stop();

  std::printf("seed %lu, %lu s\n", opt.seed, opt.seconds);
  std::printf("calls %lu (echo %lu)\n", done.calls, done.echo_calls);
  std::printf("bytes A->B %llu, B->A %llu, echoed %llu, all checked by digest\n", done.bytes_a_to_b,
              done.bytes_b_to_a, done.bytes_echoed);
  std::printf("requests A %llu, B %llu; messages put A %llu, B %llu; got A %llu, B %llu\n",
              static_cast<unsigned long long>(ta.requests),
              static_cast<unsigned long long>(tb.requests),
              static_cast<unsigned long long>(ta.messages_put),
              static_cast<unsigned long long>(tb.messages_put),
              static_cast<unsigned long long>(ta.messages_got),
              static_cast<unsigned long long>(tb.messages_got));
  std::printf("resident memory KiB: A %lu -> %lu, B %lu -> %lu (after the first call -> end)\n",
              rss_a_first, rss_a_end, rss_b_first, rss_b_end);
  if (failure.empty() && (rss_a_end > rss_a_first + opt.max_growth_kib ||
                          rss_b_end > rss_b_first + opt.max_growth_kib))
    failure = "resident memory grew";
  std::printf("outcome: %s\n", failure.empty() ? "ok" : ("FAILED: " + failure).c_str());
  fs::remove_all(folder);
  return failure.empty() ? 0 : 1;
}
