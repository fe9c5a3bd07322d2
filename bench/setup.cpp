// SPDX-License-Identifier: MIT
// Programs, start-up of the two children, and the scratch folder.
#include "setup.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "capi-bridge-bench: %s\n", what.c_str());
  std::exit(1);
}

std::string scratch_folder() {
  static std::string folder = [] {
    std::string pattern = std::filesystem::temp_directory_path() / "capi-bridge-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
      fail("cannot make a scratch folder");
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(scratch_folder(), ignored);
    });
    return pattern;
  }();
  return folder;
}

std::vector<std::string> joined(const std::vector<std::string>& a,
                                const std::vector<std::string>& b) {
  std::vector<std::string> all = a;
  all.insert(all.end(), b.begin(), b.end());
  return all;
}

} // namespace

std::string bridge_program() {
  return BENCH_BRIDGE;
}
std::string count_allocations_library() {
  return BENCH_COUNT_ALLOCATIONS;
}
std::string run_program() {
  return BENCH_RUN;
}
std::string call_program() {
  return BENCH_CALL_PROGRAM;
}
std::string emulator_program() {
  return BENCH_EMULATOR;
}
std::string peer_program(bool bridge) {
  return bridge ? BENCH_PEER_BRIDGE : BENCH_PEER_DIRECT;
}

std::string no_nodelay_library() {
  return BENCH_NO_NODELAY;
}
std::string private_shm_script() {
  return BENCH_PRIVATE_SHM;
}

std::string temp_path(const std::string& stem) {
  static int counter = 0;
  return scratch_folder() + "/" + stem + "-" + std::to_string(++counter);
}

child start_bridge(const std::string& script, const std::vector<std::string>& wrapper,
                   const environment_list& environment) {
  std::string script_file = temp_path("script");
  std::ofstream(script_file) << script;
  environment_list set = {{"LD_LIBRARY_PATH", BENCH_NULL_CAPI_DIR},
                          {"NULL_CAPI_SCRIPT", script_file}};
  set.insert(set.end(), environment.begin(), environment.end());
  child c = start_child(joined(wrapper, {bridge_program()}), set);
  bytes open = open_frame("127.0.0.1", 5000);
  bytes reply;
  if (!write_all(c, open.data(), open.size()) || read_reply(c, reply) != 0)
    fail("the bridge did not open an application");
  return c;
}

void stop_bridge(child& c) {
  bytes close = frame({'C'});
  bytes reply;
  write_all(c, close.data(), close.size());
  read_reply(c, reply);
  if (finish_child(c) != 0)
    fail("the bridge did not end cleanly");
}

child start_baseline(const std::vector<std::string>& canned,
                     const std::vector<std::string>& wrapper, const environment_list& environment) {
  child c = start_child(joined(joined(wrapper, {BENCH_BASELINE}), canned), environment);
  bytes open = open_frame("127.0.0.1", 5000);
  bytes reply;
  write_all(c, open.data(), open.size());
  read_reply(c, reply);
  return c;
}

bool program_on_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string rest = path != nullptr ? path : "";
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = rest.find(':', start);
    if (end == std::string::npos)
      end = rest.size();
    std::string candidate = rest.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0)
      return true;
    start = end + 1;
  }
  return false;
}

std::string machine_description() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line, model = "unknown processor";
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  utsname u{};
  uname(&u);
  return "Machine: " + model + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) +
         " CPUs online, Linux " + u.release + ".";
}
