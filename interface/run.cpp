// SPDX-License-Identifier: MIT
// capi-bridge-run: runs a program with libcapi20's entry points answered
// through bridges. It preloads libcapi-bridge-preload.so into the program,
// says which bridge to start, and replaces itself with the program.
#include "program_check.hpp"

#include "toolkit/command_line.hpp"
#include "toolkit/os.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

const char usage_text[] =
    R"(Usage: capi-bridge-run [OPTION]... PROGRAM [ARGUMENT]...
Runs PROGRAM with the CAPI 2.0 calls it makes to libcapi20 answered through
capi-bridge: every application it registers gets a bridge of its own, a child
process in which the library reaches the CAPI host. A host that sends what
the library cannot take, or a message the library would send corrupted,
costs that application an error instead of the program its life.

Host and port: what the program sets with capi20ext_set_host and
capi20ext_set_port; a REMOTE line in ~/.capi20rc (or /etc/capi20.conf),
which the library inside each bridge reads as it would in the program, wins
over them. Only the "fritzbox" driver is served.

  -h, --help               print this help and exit
  -V, --version            print the version and exit
      --bridge=PATH        the bridge to start (default: CAPI_BRIDGE_EXECUTABLE,
                           else capi-bridge beside this program, else the
                           installed one)
      --bridge-stderr=FILE
                           append the bridges' standard error (the library's
                           debug lines) to FILE; default: discarded
      --verbose            one line per bridge started and ended, with the
                           program's application ID and the host's, and the
                           library's own lines, where --bridge-stderr says,
                           else on standard error
      --no-reconnect       an application whose host or bridge is lost is gone
                           (every call then answers 0x1108), as with
                           CAPI_BRIDGE_RECONNECT=0; by default its calls end
                           as on a lost line and it is registered again, under
                           the same ID, once the host is back
      --quiet              say nothing of a program that seems never to reach
                           libcapi20 (it neither links the library nor opens
                           libraries nor starts programs)

Where its calls cannot go through bridges (a set-user-ID or set-group-ID
program, a statically linked or 32-bit one), capi-bridge-run says so in one
line on standard error and runs the program all the same.

Exit status: PROGRAM's; 127 when PROGRAM cannot be run, 2 on bad usage.
)";

// The first of `candidates` that exists, or empty.
std::string first_existing(std::initializer_list<fs::path> candidates) {
  for (const fs::path& p : candidates) {
    std::error_code ignored;
    if (fs::exists(p, ignored))
      return p.string();
  }
  return {};
}

} // namespace

int main(int argc, char** argv) {
  enum {
    bridge_option = 256,
    bridge_stderr_option,
    quiet_option,
    verbose_option,
    no_reconnect_option
  };
  const option options[] = {{"bridge", required_argument, nullptr, bridge_option},
                            {"bridge-stderr", required_argument, nullptr, bridge_stderr_option},
                            {"quiet", no_argument, nullptr, quiet_option},
                            {"verbose", no_argument, nullptr, verbose_option},
                            {"no-reconnect", no_argument, nullptr, no_reconnect_option},
                            {}};
  std::string bridge, bridge_stderr;
  bool quiet = false, verbose = false, no_reconnect = false;
  toolkit::command_line line("capi-bridge-run", usage_text, options, true);
  for (int o; (o = line.next(argc, argv)) != -1;) {
    if (o == bridge_option)
      bridge = line.value();
    else if (o == bridge_stderr_option)
      bridge_stderr = line.value();
    else if (o == quiet_option)
      quiet = true;
    else if (o == verbose_option)
      verbose = true;
    else if (o == no_reconnect_option)
      no_reconnect = true;
  }
  if (auto status = line.finished())
    return *status;
  if (line.operands() >= argc) {
    line.fail("a PROGRAM to run is missing");
    return *line.finished();
  }

  const fs::path here = toolkit::program_folder();
  // Beside this program in a build tree; where the installation put it,
  // seen from this program's folder; where it was meant to go.
  const std::string preload =
      first_existing({here / "libcapi-bridge-preload.so", here / CAPI_BRIDGE_PRELOAD_FROM_BIN,
                      CAPI_BRIDGE_PRELOAD_INSTALLED});
  if (preload.empty()) {
    std::fprintf(stderr,
                 "capi-bridge-run: libcapi-bridge-preload.so is neither beside it nor in %s\n",
                 fs::path(CAPI_BRIDGE_PRELOAD_INSTALLED).parent_path().c_str());
    return 127;
  }
  // --bridge, else the user's CAPI_BRIDGE_EXECUTABLE, else the one found.
  if (const char* chosen = std::getenv("CAPI_BRIDGE_EXECUTABLE");
      bridge.empty() && chosen != nullptr && *chosen != '\0')
    bridge = chosen;
  if (bridge.empty())
    bridge = first_existing(
        {here / "capi-bridge", here.parent_path() / "capi-bridge", CAPI_BRIDGE_INSTALLED});
  if (bridge.empty()) {
    std::fprintf(stderr, "capi-bridge-run: no capi-bridge beside it, nor %s\n",
                 CAPI_BRIDGE_INSTALLED);
    return 127;
  }
  // Said now: the program would only see its calls answer 0x1009.
  if (access(bridge.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "capi-bridge-run: cannot start the bridge %s: %s\n", bridge.c_str(),
                 std::strerror(errno));
    return 127;
  }

  if (auto check = capi_interface::check_program(argv[line.operands()]);
      !check.reason.empty() && !(quiet && check.guessed))
    std::fprintf(stderr, "capi-bridge-run: %s\n", check.reason.c_str());

  const char* before = std::getenv("LD_PRELOAD");
  std::string preloads = preload;
  if (before != nullptr && *before != '\0')
    preloads += std::string(":") + before;
  toolkit::set_environment("LD_PRELOAD", preloads.c_str());
  toolkit::set_environment("CAPI_BRIDGE_EXECUTABLE", fs::absolute(bridge).string().c_str());
  if (!bridge_stderr.empty())
    toolkit::set_environment("CAPI_BRIDGE_STDERR", fs::absolute(bridge_stderr).string().c_str());
  else if (const char* set = std::getenv("CAPI_BRIDGE_STDERR"); verbose && set == nullptr)
    toolkit::set_environment("CAPI_BRIDGE_STDERR", "/dev/stderr");
  if (verbose)
    toolkit::set_environment("CAPI_BRIDGE_VERBOSE", "1");
  if (no_reconnect)
    toolkit::set_environment("CAPI_BRIDGE_RECONNECT", "0");
  execvp(argv[line.operands()], argv + line.operands());
  std::fprintf(stderr, "capi-bridge-run: cannot run %s: %s\n", argv[line.operands()],
               std::strerror(errno));
  return 127;
}
