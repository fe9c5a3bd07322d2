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

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sched.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: capi-bridge-bench [--quick] [--rounds N] [--slices N] [--slice-ms N]\n"
               "                         [--cpu N|none] [--skip-tools] [--only ROWS]\n"
               "  --quick       a few milliseconds per figure: checks that every row still works\n"
               "  --rounds N    rounds per timed figure (median, min and max over them)\n"
               "  --slices N    slices per side in each round; the two sides take turns\n"
               "  --slice-ms N  length of one slice\n"
               "  --cpu N       the CPU that the client and every child are pinned to\n"
               "  --skip-tools  leave out the strace and callgrind figures\n"
               "  --only ROWS   only these rows, e.g. 1,2,3 or 4,10 (1 and 2 come together)\n"
               "Rows 4 and 7-10 run the real library; the benchmark runs itself through\n"
               "tests/support/private_shm.sh for them, so that the machine's table of\n"
               "application IDs stays untouched.\n");
  std::exit(2);
}

} // namespace

int main(int argc, char** argv) {
  bench_settings s;
  std::string only = "1,2,3,4,5,6,7,8,9,10";
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  s.cpu = cpus > 1 ? static_cast<int>(cpus - 1) : 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc)
        usage();
      return argv[++i];
    };
    if (a == "--quick")
      s.quick = true;
    else if (a == "--rounds")
      s.rounds = std::stoi(value());
    else if (a == "--slices")
      s.slices = std::stoi(value());
    else if (a == "--slice-ms")
      s.slice_seconds = std::stod(value()) / 1000;
    else if (a == "--cpu") {
      std::string v = value();
      s.cpu = v == "none" ? -1 : std::stoi(v);
    } else if (a == "--skip-tools")
      s.skip_tools = true;
    else if (a == "--only")
      only = value();
    else
      usage();
  }
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
