// SPDX-License-Identifier: MIT
// The Windows bridge under Wine among native programs: a call between a
// Windows and a native bridge, a Windows parent's HOME and standard error
// reaching the library, and the forwarding DLL's wait time. They run only
// where the bridge under test is the Windows build (the `windows` label).
#include "e2e_fixture.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>

using namespace capi_bridge;
using namespace toolkit;
using namespace std::chrono_literals;

namespace {

constexpr const char* needs_windows_bridge =
    "needs the Windows bridge under Wine (CAPI_BRIDGE_WINDOWS_FOLDER): runs labelled `windows`";

// The folder of the Windows bridge, which also holds the forwarding
// libcapi20-3.dll and the Windows test programs.
std::string windows_folder() {
  return std::filesystem::path(bridge_command().back()).parent_path().string();
}

// A Unix path as Windows programs under Wine name it (drive Z: is /).
std::string windows_path(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return "Z:" + path;
}

struct mixed_case {
  std::string name;
  unsigned first_appl_id;
  bool windows_calls;
};

void PrintTo(const mixed_case& c, std::ostream* os) {
  *os << c.name;
}

class windows_and_native : public e2e_test, public testing::WithParamInterface<mixed_case> {};

TEST_P(windows_and_native, call_each_other_and_carry_data_both_ways) {
  if (!windows_bridge())
    GTEST_SKIP() << needs_windows_bridge;
  const mixed_case& param = GetParam();
  start_emulator(param.first_appl_id);
  client& windows = opened_bridge("windows");
  client& native = opened_bridge("native", 2, {bridge_executable()});
  client& caller = param.windows_calls ? windows : native;
  client& callee = param.windows_calls ? native : windows;

  call c = place_call(caller, callee, "123");
  EXPECT_EQ(c.offered.calling.digits, std::to_string(caller.appl_id()));
  two_way_data d = both_ways(caller, callee, c, 256 * 1024);
  exchange_data({&d.caller, &d.callee});
  EXPECT_EQ(digest(d.callee.incoming), digest(d.caller.outgoing)) << "caller to callee";
  EXPECT_EQ(digest(d.caller.incoming), digest(d.callee.outgoing)) << "callee to caller";

  hang_up(callee, c.callee_plci);
  await_b3_cleared(callee, c.callee_ncci);
  EXPECT_EQ(await_cleared(callee, c.callee_plci), 0) << "the one who hung up";
  await_b3_cleared(caller, c.caller_ncci);
  EXPECT_EQ(await_cleared(caller, c.caller_plci), capimsg::info::normal_call_clearing);
  for (client* end : {&windows, &native}) {
    EXPECT_TRUE(end->close().ok());
    ASSERT_TRUE(end->exit());
    EXPECT_EQ(end->exit()->code, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(windows, windows_and_native,
                         testing::Values(mixed_case{"windows_calls_native", 205, true},
                                         mixed_case{"native_calls_windows", 210, false}),
                         [](const auto& row) { return row.param.name; });

// Wine gives a process that a Windows program starts the Unix HOME and
// standard error of the first Wine process, not those its parent chose; the
// forwarding DLL hands the Windows ones to the library. The parent opens the
// standard error file for appending only, as the client library does.
TEST_F(e2e_test, windows_parents_home_and_standard_error_reach_the_library) {
  if (!windows_bridge())
    GTEST_SKIP() << needs_windows_bridge;
  start_emulator(215);
  // Only this .capi20rc names the emulator, and it leaves the library's
  // debug lines on; the parent's own HOME, the folder, has TRACELEVEL 0.
  std::filesystem::create_directory(path("windows-home"));
  std::ofstream(path("windows-home/.capi20rc"))
      << "# no trace level: every debug line\nREMOTE fritzbox 127.0.0.1 " << emulator.port()
      << "\n";
  stderr_allowed.push_back("bridge");
  client& a =
      bridge("parent", {"wine", windows_folder() + "/windows_parent.exe",
                        windows_path(path("windows-home")), windows_path(path("bridge.stderr")),
                        windows_path(windows_folder() + "/capi-bridge.exe")});
  // Port 0 takes no connection; the REMOTE line overrides it.
  open_result opened = a.open("127.0.0.1", 0, 2);
  EXPECT_TRUE(opened.status.ok()) << opened.status.text();
  EXPECT_EQ(opened.appl_id, 215u);
  EXPECT_TRUE(a.close().ok());
  ASSERT_TRUE(a.exit());
  EXPECT_EQ(a.exit()->code, 0);
  std::string lines = read("bridge.stderr");
  EXPECT_NE(lines.find("fritzbox"), std::string::npos) << lines;
  // The fixture checks that none of them went to parent.stderr.
}

// The bridge only ever waits 0 s, which survives any mix-up of the two
// time-out layouts; a Windows program that waits longer finds one out.
TEST_F(e2e_test, forwarding_dll_converts_the_wait_time_both_ways) {
  if (!windows_bridge())
    GTEST_SKIP() << needs_windows_bridge;
  start_emulator(295);
  child_process check;
  process_options options;
  options.command = {"wine", windows_folder() + "/forwarding_check.exe",
                     std::to_string(emulator.port())};
  options.environment = {{"HOME", folder}};
  options.stderr_path = path("check.stderr");
  ASSERT_TRUE(check.start(options)) << check.error();
  std::string output, line;
  while (check.read_line(line, after(10s)) == io_result::done)
    output += line + "\n";
  auto ended = check.wait(after(5s));
  ASSERT_TRUE(ended) << output;
  EXPECT_TRUE(ended->exited && ended->code == 0) << output;
  EXPECT_EQ(output.find("FAILED"), std::string::npos) << output;
}

} // namespace
