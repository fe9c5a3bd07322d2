// capi-bridge-bench: what the bridge costs a client, measured side by side
// with a baseline in one run, printed as one Markdown table.
//
// Rows 1-3 drive the real bridge, loaded with a null library, and the
// pipe baseline with identical request flows, taking turns in short slices on
// one CPU. Row 4 moves DATA_B3 blocks between two applications through
// Debian's libcapi20 and the emulated CAPI host, once through two bridges and
// once in two programs that link the library. Row 5 counts heap allocations
// and resident memory, row 6 system calls and user-space instructions.
#include "child.hpp"
#include "harness/command_line.hpp"
#include "rows.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sched.h>
#include <string>
#include <unistd.h>

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
      --slice-ms=MS length of one slice in milliseconds
      --cpu=N|none  the CPU that the client and every child are pinned to
                    (default: the last one), or none
      --skip-tools  leave out the strace and callgrind figures
      --only=ROWS   only these rows, e.g. 1,2,3 (1 and 2 come together)
)";

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
  harness::command_line line("capi-bridge-bench", usage_text, long_options);
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
      if (only.empty() || only.find_first_not_of("123456,") != std::string::npos)
        line.reject("row numbers from 1 to 6, separated by commas, expected");
      break;
    }
  }
  return line.finished();
}

} // namespace

int main(int argc, char** argv) {
  bench_settings s;
  std::string only = "123456";
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  s.cpu = cpus > 1 ? static_cast<int>(cpus - 1) : 0;
  if (std::optional<int> status = parse_options(argc, argv, s, only))
    return *status;
  if (s.quick) {
    s.rounds = 1;
    s.slices = 2;
    s.slice_seconds = 0.005;
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

  auto wanted = [&](char row) { return only.find(row) != std::string::npos; };
  table t;
  if (wanted('1') || wanted('2'))
    timed_rows(s, t);
  if (wanted('3'))
    b3_rows(s, t);
  if (wanted('4'))
    library_rows(s, t);
  if (wanted('5'))
    allocation_rows(s, t);
  if (wanted('6'))
    syscall_rows(s, t);
  print_table(s, t);
  return 0;
}
