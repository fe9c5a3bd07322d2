// SPDX-License-Identifier: MIT
// capi-bridge-bench: what the bridge costs a client, measured side by side
// with a baseline in one run, printed as one Markdown table.
//
// Rows 1-3 drive the real bridge, loaded with a null library, and the
// pipe baseline with identical request flows, taking turns in short slices on
// one CPU. Row 4 moves DATA_B3 blocks between two applications through
// Debian's libcapi20 and the emulated CAPI host, once through two bridges and
// once in two programs that link the library. Row 5 counts heap allocations
// and resident memory, row 6 system calls and user-space instructions. Rows
// 7-10, through the real library too: idle CPU, latency, live calls per
// machine, the echo round trip.
#include "child.hpp"
#include "rows.hpp"
#include "setup.hpp"
#include "toolkit/command_line.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sched.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char usage_text[] = R"(Usage: capi-bridge-bench [OPTION]...
Measures what the bridge costs a client, side by side with a baseline in one
run, and prints one Markdown table.

  -h, --help        print this help and exit
  -V, --version     print the version and exit
      --quick       a few milliseconds per figure: checks that every row
                    still works
      --rounds=N    rounds per timed figure (median, min and max over them)
      --slices=N    slices per side in each round; the two sides take turns
      --slice-ms=MS
                    length of one slice in milliseconds
      --cpu=N|none  the CPU that the client and every child are pinned to
                    (default: the last one), or none
      --skip-tools  leave out the strace and callgrind figures
      --only=ROWS   only these rows, e.g. 1,2,3 or 4,10 (1 and 2 come together)

Rows 4 and 7-10 run the real library; the benchmark runs itself through
tests/support/private_shm.sh for them, so that the machine's table of
application IDs stays untouched.
)";

// Whether `rows` is a list of row numbers, 1 to 10, separated by commas.
bool row_list(const std::string& rows) {
  std::size_t at = 0;
  for (;;) {
    std::size_t comma = rows.find(',', at);
    std::string row = rows.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    if (row.empty() || row.size() > 2 || row.find_first_not_of("0123456789") != std::string::npos)
      return false;
    int number = std::stoi(row);
    if (number < 1 || number > 10)
      return false;
    if (comma == std::string::npos)
      return true;
    at = comma + 1;
  }
}

// Returns the exit status to leave with, or nullopt to go on.
std::optional<int> parse_options(int argc, char** argv, bench_settings& s, std::string& only) {
  enum : int { quick = 256, rounds, slices, slice_ms, cpu, skip_tools, only_rows };
  const option long_options[] = {
      {"quick", no_argument, nullptr, quick},
      {"rounds", required_argument, nullptr, rounds},
      {"slices", required_argument, nullptr, slices},
      {"slice-ms", required_argument, nullptr, slice_ms},
      {"cpu", required_argument, nullptr, cpu},
      {"skip-tools", no_argument, nullptr, skip_tools},
      {"only", required_argument, nullptr, only_rows},
      {nullptr, 0, nullptr, 0},
  };
  toolkit::command_line line("capi-bridge-bench", usage_text, long_options);
  unsigned long number = 0;
  for (int o; (o = line.next(argc, argv)) != -1;) {
    switch (o) {
    case quick:
      s.quick = true;
      break;
    case rounds:
      if (line.number(1, 10000, number))
        s.rounds = static_cast<int>(number);
      break;
    case slices:
      if (line.number(1, 1000000, number))
        s.slices = static_cast<int>(number);
      break;
    case slice_ms: {
      char* end = nullptr;
      const double ms = std::strtod(line.value(), &end);
      if (*line.value() == '\0' || *end != '\0' || !(ms > 0 && ms <= 60000))
        line.reject("a number of milliseconds above 0 and up to 60000 expected");
      else
        s.slice_seconds = ms / 1000;
      break;
    }
    case cpu:
      if (std::strcmp(line.value(), "none") == 0)
        s.cpu = -1;
      else if (line.number(0, CPU_SETSIZE - 1, number))
        s.cpu = static_cast<int>(number);
      break;
    case skip_tools:
      s.skip_tools = true;
      break;
    case only_rows:
      only = line.value();
      if (!row_list(only))
        line.reject("row numbers from 1 to 10, separated by commas, expected");
      break;
    }
  }
  return line.finished();
}

} // namespace

int main(int argc, char** argv) {
  bench_settings s;
  std::string only = "1,2,3,4,5,6,7,8,9,10";
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  s.cpu = cpus > 1 ? static_cast<int>(cpus - 1) : 0;
  if (std::optional<int> status = parse_options(argc, argv, s, only))
    return *status;
  if (s.quick) {
    s.rounds = 1;
    s.slices = 2;
    s.slice_seconds = 0.005;
  }
  auto wanted = [&](const std::string& row) {
    return ("," + only + ",").find("," + row + ",") != std::string::npos;
  };
  bool real_library = wanted("4") || wanted("7") || wanted("8") || wanted("9") || wanted("10");
  if (real_library && std::getenv("CAPI_BRIDGE_SHM") == nullptr) {
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::string script = private_shm_script();
    std::vector<char*> again = {const_cast<char*>("sh"), script.data(), self.data()};
    again.insert(again.end(), argv + 1, argv + argc);
    again.push_back(nullptr);
    execv("/bin/sh", again.data());
    std::perror("private_shm.sh");
    return 1;
  }
  if (s.cpu >= 0) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(s.cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) {
      std::perror("sched_setaffinity");
      return 1;
    }
  }

  table t;
  if (wanted("1") || wanted("2"))
    timed_rows(s, t);
  if (wanted("3"))
    b3_rows(s, t);
  if (wanted("4"))
    library_rows(s, t);
  if (wanted("5"))
    allocation_rows(s, t);
  if (wanted("6"))
    syscall_rows(s, t);
  if (wanted("7"))
    idle_rows(s, t);
  if (wanted("8"))
    latency_rows(s, t);
  if (wanted("9"))
    capacity_rows(s, t);
  if (wanted("10"))
    echo_rows(s, t);
  if (real_library && std::string(std::getenv("CAPI_BRIDGE_SHM")) != "private")
    t.notes.push_back("No private /dev/shm could be mounted: the rows through the real library "
                      "used the machine's table of application IDs (each row its own IDs).");
  print_table(s, t);
  return 0;
}
