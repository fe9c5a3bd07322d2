// SPDX-License-Identifier: MIT
// The command lines of capi-host-emulator, capi-bridge-demo, capi-bridge-soak
// and capi-bridge-bench: each program run with a command line, its exit
// status, standard output and standard error compared with what a user
// should see.
#include "capi_bridge/process.hpp"
#include "capi_bridge/version.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct program {
  const char* name;
  const char* path; // empty when this configuration does not build it
};

// What a failing row names it by (GoogleTest would print its bytes).
void PrintTo(const program& p, std::ostream* os) {
  *os << p.name;
}

const program emulator{"capi-host-emulator", EMULATOR_PROGRAM};
const program demo{"capi-bridge-demo", DEMO_PROGRAM};
const program soak{"capi-bridge-soak", SOAK_PROGRAM};
const program bench{"capi-bridge-bench", BENCH_PROGRAM};
const program run_program{"capi-bridge-run", RUN_PROGRAM};

struct run_result {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs `p` with `arguments`, and `environment` over this process's, to its
// end (it is killed after 20 s).
run_result run(const program& p, const std::vector<std::string>& arguments,
               const std::vector<std::pair<std::string, std::string>>& environment = {}) {
  fs::path folder = fs::temp_directory_path() / ("command-line-test-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  fs::path err_path = folder / "stderr";
  fs::remove(err_path);
  std::vector<std::string> command = {p.path};
  command.insert(command.end(), arguments.begin(), arguments.end());
  capi_bridge::child_process child;
  run_result r;
  if (!child.start({command, environment, err_path.string(), {}, false})) {
    r.err = child.error();
    return r;
  }
  child.close_input();
  capi_bridge::deadline until = capi_bridge::after(20s);
  std::uint8_t buffer[4096];
  std::size_t got = 0;
  while (child.read_some(buffer, sizeof buffer, got, until) == capi_bridge::io_result::done)
    r.out.append(reinterpret_cast<const char*>(buffer), got);
  if (auto ended = child.wait(until); ended && ended->exited)
    r.status = ended->code;
  std::ifstream in(err_path);
  std::stringstream text;
  text << in.rdbuf();
  r.err = text.str();
  fs::remove_all(folder);
  return r;
}

// What --help and --version show, for every program.
class every_program : public testing::TestWithParam<program> {
protected:
  void SetUp() override {
    if (*GetParam().path == '\0')
      GTEST_SKIP() << GetParam().name << " is not built in this configuration";
  }
};

TEST_P(every_program, version_prints_the_project_version) {
  run_result r = run(GetParam(), {"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string(GetParam().name) + " (capi-bridge) " CAPI_BRIDGE_VERSION "\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(run(GetParam(), {"-V"}).out, r.out);
}

TEST_P(every_program, help_goes_to_standard_output_with_status_0) {
  for (const char* option : {"--help", "-h"}) {
    run_result r = run(GetParam(), {option});
    EXPECT_EQ(r.status, 0) << option;
    EXPECT_EQ(r.out.rfind(std::string("Usage: ") + GetParam().name + " [OPTION]...", 0), 0u)
        << option << ": " << r.out;
    EXPECT_NE(r.out.find("  -V, --version"), std::string::npos) << option;
    EXPECT_EQ(r.err, "") << option;
  }
}

TEST_P(every_program, takes_no_arguments_but_options) {
  if (GetParam().name == run_program.name)
    GTEST_SKIP() << "its arguments are a program to run and that program's";
  run_result r = run(GetParam(), {"extra"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, std::string(GetParam().name) + ": unexpected argument 'extra'\nTry '" +
                       GetParam().name + " --help' for more information.\n");
}

std::string program_row(const testing::TestParamInfo<program>& row) {
  std::string name = row.param.name;
  for (char& c : name)
    c = c == '-' ? '_' : c;
  return name;
}

INSTANTIATE_TEST_SUITE_P(programs, every_program,
                         testing::Values(emulator, demo, soak, bench, run_program), program_row);

// capi-bridge-run: its options end at the program, whose own options and
// arguments pass untouched; the program gets the preloaded library first
// and the bridge to start.
TEST(capi_bridge_run, runs_the_program_with_its_arguments_and_the_library_preloaded) {
  if (*run_program.path == '\0')
    GTEST_SKIP() << "capi-bridge-run is not built in this configuration";
#ifdef CAPI_BRIDGE_SANITIZED
  GTEST_SKIP() << "a sanitized preload library goes into no program built without the sanitizers";
#endif
  const std::vector<std::string> show = {
      "sh", "-c", "echo \"$0 $LD_PRELOAD $CAPI_BRIDGE_EXECUTABLE\"", "--version"};
  std::vector<std::string> arguments = {"--bridge=/bin/true"};
  arguments.insert(arguments.end(), show.begin(), show.end());
  run_result r = run(run_program, arguments, {{"CAPI_BRIDGE_EXECUTABLE", "/bin/false"}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, 10), "--version ") << r.out;
  EXPECT_NE(r.out.find("libcapi-bridge-preload.so"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" /bin/true\n"), std::string::npos) << r.out;

  // Without --bridge the user's CAPI_BRIDGE_EXECUTABLE; a bridge that cannot
  // be started is said before the program runs, with its path.
  r = run(run_program, show, {{"CAPI_BRIDGE_EXECUTABLE", "/bin/false"}});
  EXPECT_NE(r.out.find(" /bin/false\n"), std::string::npos) << r.out;
  const std::string refused = "capi-bridge-run: cannot start the bridge /nonexistent/capi-bridge: "
                              "No such file or directory\n";
  r = run(run_program, {"--bridge=/nonexistent/capi-bridge", "/bin/true"});
  EXPECT_EQ(r.status, 127);
  EXPECT_EQ(r.err, refused);
  r = run(run_program, {"/bin/true"}, {{"CAPI_BRIDGE_EXECUTABLE", "/nonexistent/capi-bridge"}});
  EXPECT_EQ(r.status, 127);
  EXPECT_EQ(r.err, refused);

  r = run(run_program, {});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "capi-bridge-run: a PROGRAM to run is missing\nTry 'capi-bridge-run --help' for "
                   "more information.\n");
  EXPECT_EQ(run(run_program, {"/nonexistent/program"}).status, 127);
}

// Programs whose CAPI calls cannot go through bridges: capi-bridge-run says
// why in one line on standard error, and runs them all the same.
struct unserved_case {
  const char* name;
  std::vector<std::string> arguments; // after --bridge
  const char* said;                   // the line after "capi-bridge-run: PROGRAM ", or ""
};

void PrintTo(const unserved_case& c, std::ostream* os) {
  *os << c.name;
}

class unserved_programs : public testing::TestWithParam<unserved_case> {};

TEST_P(unserved_programs, are_named_in_one_line_and_run_all_the_same) {
  const unserved_case& c = GetParam();
  if (*run_program.path == '\0')
    GTEST_SKIP() << "capi-bridge-run is not built in this configuration";
#ifdef CAPI_BRIDGE_SANITIZED
  GTEST_SKIP() << "a sanitized preload library goes into no program built without the sanitizers";
#endif
  std::vector<std::string> arguments = {"--bridge=/bin/true"};
  arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
  std::string program = c.arguments.back();
  if (std::string(c.name) == "set_user_id") {
    if (::geteuid() != 0)
      GTEST_SKIP() << "a set-user-ID program of another user is made as root only";
    program = (fs::path(STATIC_PROGRAM).parent_path() / "set_user_id").string();
    fs::copy_file("/bin/true", program, fs::copy_options::overwrite_existing);
    ASSERT_EQ(::chown(program.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(program.c_str(), 04755), 0);
    arguments.back() = program;
  }
  run_result r = run(run_program, arguments);
  EXPECT_EQ(r.status, 0) << r.err;
  if (*c.said == '\0')
    EXPECT_EQ(r.err, "");
  else
    EXPECT_EQ(r.err, "capi-bridge-run: " + program + " " + c.said + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    capi_bridge_run, unserved_programs,
    testing::Values(
        unserved_case{"statically_linked",
                      {STATIC_PROGRAM},
                      "is statically linked: nothing can be preloaded into it, and its CAPI "
                      "calls go to the library built into it, without bridges"},
        unserved_case{"set_user_id",
                      {"/bin/true"},
                      "is set-user-ID: the loader preloads nothing into it, and its CAPI calls "
                      "go to libcapi20 directly, without bridges"},
        unserved_case{"never_reaching_the_library",
                      {"true"},
                      "neither links libcapi20 nor opens libraries or starts programs: it will "
                      "make no CAPI call (--quiet: say nothing of this)"},
        unserved_case{"never_reaching_the_library_quiet", {"--quiet", "true"}, ""},
        unserved_case{"starting_programs", {"sh", "-c", ":"}, ""}),
    [](const testing::TestParamInfo<unserved_case>& row) { return std::string(row.param.name); });

// A usage error: the first line of standard error, after "PROGRAM: ".
struct usage_case {
  const char* name;
  program p;
  std::vector<std::string> arguments;
  const char* message;
};

void PrintTo(const usage_case& c, std::ostream* os) {
  *os << c.name;
}

std::string usage_row(const testing::TestParamInfo<usage_case>& row) {
  return row.param.name;
}

class usage_errors : public testing::TestWithParam<usage_case> {};

TEST_P(usage_errors, name_the_option_and_what_was_wrong) {
  const usage_case& c = GetParam();
  if (*c.p.path == '\0')
    GTEST_SKIP() << c.p.name << " is not built in this configuration";
  run_result r = run(c.p, c.arguments);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.substr(0, r.err.find('\n')), std::string(c.p.name) + ": " + c.message);
}

INSTANTIATE_TEST_SUITE_P(
    programs, usage_errors,
    testing::Values(
        usage_case{"out_of_range",
                   emulator,
                   {"--port=70000"},
                   "--port: '70000' is out of range (0 to 65534)"},
        usage_case{"not_a_number", demo, {"--port", "x"}, "--port: 'x' is not a whole number"},
        usage_case{"negative", soak, {"--seconds=-1"}, "--seconds: '-1' is not a whole number"},
        usage_case{
            "empty_value", emulator, {"--controllers="}, "--controllers: '' is not a whole number"},
        usage_case{"missing_value", emulator, {"--controllers"}, "--controllers needs a value"},
        usage_case{
            "unknown_option", bench, {"--no-such-option=1"}, "unknown option --no-such-option"},
        usage_case{"unknown_letter", demo, {"-x"}, "unknown option -x"},
        usage_case{"value_for_a_switch", emulator, {"--verbose=yes"}, "--verbose takes no value"},
        usage_case{"abbreviation_names_the_whole_option",
                   soak,
                   {"--max-b=0"},
                   "--max-bytes: '0' is out of range (1 to 1073741824)"},
        usage_case{"hex_digits",
                   emulator,
                   {"--inject-after=1", "--inject=12 3"},
                   "--inject: an even number of hexadecimal digits expected"},
        usage_case{"inject_after_alone",
                   emulator,
                   {"--inject-after=1"},
                   "--inject-after and --inject go together"},
        usage_case{
            "inject_alone", emulator, {"--inject=8000"}, "--inject-after and --inject go together"},
        usage_case{"echo_number_too_long",
                   emulator,
                   {"--echo-number", std::string(33, '1')},
                   "--echo-number: 1 to 32 digits expected"},
        usage_case{"cpu", bench, {"--cpu=any"}, "--cpu: 'any' is not a whole number"},
        usage_case{"rows",
                   bench,
                   {"--only=4,11"},
                   "--only: row numbers from 1 to 10, separated by commas, expected"}),
    usage_row);

// Values given with "=" and in hexadecimal reach the program: the emulator
// starts on the port it is given and stops when told.
TEST(command_line, values_after_an_equals_sign_and_in_hexadecimal_are_taken) {
  run_result r = run(
      emulator, {"--port=0", "--exit-after=1", "--refuse-register=0x1001", "--first-appl-id", "7"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("listening 127.0.0.1:", 0), 0u) << r.out;
  EXPECT_EQ(r.err, "");
}

} // namespace
