// SPDX-License-Identifier: MIT
// Whose value is whose, told by the client against the real bridge and the
// scriptable stand-in for the library (tests/fake_capi), which can answer
// with any value the library has: the same cases as the Python client's.
#include "harness/hex.hpp"
#include "support.hpp"
#include "toolkit/os.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

using namespace capi_bridge;
namespace cmd = capimsg::command;
namespace sub = capimsg::subcommand;
namespace fs = std::filesystem;
using harness::hex;

namespace {

const bytes listen_req = capimsg::build_listen_req(7, 1, {1, 0, 1, 0, {}});
const bytes listen_conf = capimsg::build_conf(7, 1, cmd::listen, {1, 0});

class stand_in_test : public testing::Test {
protected:
  void SetUp() override {
    std::string error;
    folder_ = toolkit::make_temporary_folder("capi-client-stand-in-", error);
    ASSERT_FALSE(folder_.empty()) << error;
  }
  void TearDown() override {
    clients_.clear();
    std::error_code ignored;
    if (!HasFailure())
      fs::remove_all(folder_, ignored);
  }

  // A bridge against the stand-in scripted by `script`, with `environment`
  // added to what the bridge gets.
  client& start(const std::string& script,
                std::vector<std::pair<std::string, std::string>> environment = {}) {
    std::ofstream(folder_ / "script") << script;
    client_options options;
    options.command = {bridge_executable()};
    options.environment = {{"HOME", folder_.string()},
                           {"FAKE_CAPI_SCRIPT", (folder_ / "script").string()},
                           {"FAKE_CAPI_LOG", (folder_ / "log").string()}};
    // Empty on Windows, where the stand-in lies beside the bridge.
    if (*FAKE_CAPI_DIR != '\0')
      options.environment.emplace_back("LD_LIBRARY_PATH", FAKE_CAPI_DIR);
    options.environment.insert(options.environment.end(), environment.begin(), environment.end());
    options.stderr_path = (folder_ / "stderr").string();
    clients_.push_back(std::make_unique<client>(options));
    return *clients_.back();
  }
  // The same with application 7 registered.
  client& opened(const std::string& script = "",
                 std::vector<std::pair<std::string, std::string>> environment = {}) {
    client& c = start("appl_id 7\n" + script, std::move(environment));
    open_result r = c.open("127.0.0.1", 2662, 2);
    EXPECT_TRUE(r.status.ok()) << r.status.text();
    EXPECT_EQ(c.appl_id(), 7u);
    return c;
  }
  // The stand-in's log lines that start with `prefix`.
  std::vector<std::string> calls(const std::string& prefix) const {
    std::ifstream log(folder_ / "log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);)
      if (line.starts_with(prefix))
        lines.push_back(line);
    return lines;
  }

private:
  fs::path folder_;
  std::vector<std::unique_ptr<client>> clients_;
};

// "CAPI not installed" at stage 1 is the bridge's when the library cannot
// be loaded, the library's when it reaches no host.
TEST_F(stand_in_test, open_tells_a_library_that_cannot_be_loaded_from_one_that_finds_no_host) {
  client& no_host = start("isinstalled 0x1009\n");
  open_result r = no_host.open("127.0.0.1", 2662, 2);
  EXPECT_EQ(r.stage, open_stage::capi_not_available);
  EXPECT_EQ(r.status.from, source::library) << r.status.text();
  EXPECT_EQ(r.status.info, 0x1009u);
  if (*FAKE_CAPI_DIR == '\0')
    return; // Windows: the stand-in lies beside the bridge, and cannot be swapped
  client& no_library = start(
      "", {{"LD_LIBRARY_PATH", (fs::path(FAKE_CAPI_DIR).parent_path() / "unloadable").string()}});
  r = no_library.open("127.0.0.1", 2662, 2);
  EXPECT_EQ(r.stage, open_stage::capi_not_available);
  EXPECT_EQ(r.status.from, source::bridge) << r.status.text();
  EXPECT_EQ(r.status.info, 0x1009u);
}

// The blocks asked for go to the library's registration; values outside
// CAPI 2.0's ranges never reach the bridge.
TEST_F(stand_in_test, open_registers_the_blocks_asked_for) {
  client& c = start("appl_id 7\n");
  open_result r = c.open("127.0.0.1", 2662, 2, {3, 128});
  EXPECT_TRUE(r.status.ok()) << r.status.text();
  EXPECT_EQ(r.registered, (registration{3, 128}));
  EXPECT_EQ(calls("capi20_register"), std::vector<std::string>{"capi20_register 2 3 128"});
  for (registration wrong :
       {registration{0, 128}, registration{8, 128}, registration{3, 127}, registration{3, 2049}})
    EXPECT_THROW(start("").open("127.0.0.1", 2662, 2, wrong), std::invalid_argument);
}

// Is-installed registers nothing, and tells whose 0x1009 it is.
TEST_F(stand_in_test, installed_registers_nothing) {
  std::optional<outcome> there = start("").installed("127.0.0.1", 2662);
  ASSERT_TRUE(there);
  EXPECT_TRUE(there->ok()) << there->text();
  std::optional<outcome> no_host = start("isinstalled 0x1009\n").installed("127.0.0.1", 2662);
  ASSERT_TRUE(no_host);
  EXPECT_EQ(no_host->from, source::library) << no_host->text();
  EXPECT_EQ(no_host->info, 0x1009u);
  EXPECT_EQ(calls("capi20_register"), std::vector<std::string>{});
}

struct put_case {
  const char* name;
  bool opened;
  std::string script;
  bytes message; // the payload, if any, already behind it
  source from;
  std::uint32_t info;
  bool copy_fails = false; // the bridge's copy of a DATA_B3_REQ's data finds no memory
  const char* rule = "";   // the bridge's 0x1102: words of the rule its text names
};
void PrintTo(const put_case& row, std::ostream* out) {
  *out << row.name;
}

class put_outcome_test : public stand_in_test, public testing::WithParamInterface<put_case> {};

bytes with_length_field(bytes message, std::uint16_t length) {
  capimsg::put_u16(message, 0, length);
  return message;
}

bytes message_of(std::uint16_t length) {
  bytes m = listen_req;
  m.resize(length, 0);
  return with_length_field(m, length);
}

TEST_P(put_outcome_test, is_attributed_to_who_produced_it) {
  const put_case& row = GetParam();
  std::vector<std::pair<std::string, std::string>> environment;
  if (row.copy_fails) {
    if (*COUNT_ALLOCATIONS_LIBRARY == '\0')
      GTEST_SKIP() << "allocation failures are injected with an LD_PRELOAD library: Linux only";
#ifdef CAPI_BRIDGE_SANITIZED
    GTEST_SKIP() << "allocation failures are injected with an LD_PRELOAD library, which a "
                    "sanitizer's own allocator does not admit";
#endif
    environment = {{"LD_PRELOAD", COUNT_ALLOCATIONS_LIBRARY}, {"FAIL_ALLOCATIONS_OF", "1234"}};
  }
  client& c = row.opened ? opened(row.script, environment) : start(row.script, environment);
  outcome got = c.put(row.message);
  EXPECT_EQ(got.from, row.from) << got.text();
  EXPECT_EQ(got.info, row.info) << got.text();
  EXPECT_NE(got.text().find(row.rule), std::string::npos) << got.text();
}

INSTANTIATE_TEST_SUITE_P(
    put, put_outcome_test,
    testing::Values(
        put_case{"before_open", false, "", listen_req, source::bridge, 0x1101},
        put_case{"application_unknown_to_the_library", true, "put_message 0x1101\n", listen_req,
                 source::library, 0x1101},
        put_case{"length_field_below_8", true, "", with_length_field(listen_req, 4), source::bridge,
                 0x1102, false, "not a CAPI message"},
        put_case{"length_field_beyond_the_request", true, "", with_length_field(listen_req, 0xff),
                 source::bridge, 0x1102, false, "not a CAPI message"},
        put_case{"message_longer_than_the_library_sends", true, "", message_of(2174),
                 source::bridge, 0x1102, false, "above the library's 2173 bytes"},
        put_case{"data_b3_req_without_data64", true, "", data_b3_req(4, 1, false), source::bridge,
                 0x1102, false, "DATA_B3_REQ must come in its 30-byte form"},
        put_case{"command_the_library_refuses", true, "put_message 0x1102\n", listen_req,
                 source::library, 0x1102},
        put_case{"block_above_2048_bytes", true, "", data_b3_req(2049), source::bridge, 0x300C},
        put_case{"library_queue_full", true, "put_message 0x1103\n", data_b3_req(4),
                 source::library, 0x1103},
        put_case{"no_memory_for_the_copy", true, "", data_b3_req(1234), source::bridge, 0x1008,
                 true},
        put_case{"library_out_of_memory", true, "put_message 0x1008\n", listen_req, source::library,
                 0x1008},
        put_case{"data_b3_resp_answering_nothing", true, "",
                 capimsg::build_data_b3_resp(7, 1, {0x10101, 3}), source::bridge, 0x2001},
        put_case{"send_failed", true, "put_message 0x1108\n", listen_req, source::library, 0x1108}),
    [](const auto& row) { return std::string(row.param.name); });

struct get_case {
  const char* name;
  bool opened;
  std::string script;
  source from;
  std::uint32_t info;
  bool empty;
};
void PrintTo(const get_case& row, std::ostream* out) {
  *out << row.name;
}

class get_outcome_test : public stand_in_test, public testing::WithParamInterface<get_case> {};

TEST_P(get_outcome_test, is_attributed_to_who_produced_it) {
  const get_case& row = GetParam();
  client& c = row.opened ? opened(row.script) : start(row.script);
  message_result got = c.get();
  EXPECT_EQ(got.status.from, row.from) << got.status.text();
  EXPECT_EQ(got.status.info, row.info) << got.status.text();
  EXPECT_EQ(got.empty(), row.empty);
  EXPECT_TRUE(got.message.empty());
}

INSTANTIATE_TEST_SUITE_P(
    get, get_outcome_test,
    testing::Values(get_case{"before_open", false, "", source::bridge, 0x1104, true},
                    get_case{"nothing_waiting", true, "", source::bridge, 0x1104, true},
                    get_case{"library_error", true,
                             "get_message 0x1101\nmessage " + hex(listen_conf) + "\n",
                             source::library, 0x1101, false},
                    // Whoever says it: the host has gone, or (the library)
                    // more DATA_B3_IND are unanswered than it holds.
                    get_case{"no_buffer_or_host_gone", true,
                             "get_message 0x1108\nmessage " + hex(listen_conf) + "\n",
                             source::bridge, 0x1108, false},
                    get_case{"length_field_beyond_what_the_library_receives", true,
                             "message " + hex(with_length_field(listen_conf, 0xffff)) + "\n",
                             source::bridge, 0x1102, false}),
    [](const auto& row) { return std::string(row.param.name); });

// The bridge keeps a DATA_B3_REQ's data until the handle's DATA_B3_CONF is
// fetched and refuses the handle meanwhile with 0x1103, which the library
// also answers when its queue is full: the client tells them apart by the
// handles it has seen go out and come back.
TEST_F(stand_in_test, busy_data_handle_is_the_bridges_until_its_confirmation_is_fetched) {
  const bytes conf = capimsg::build_data_b3_conf(7, 2, {0x10101, 5, 0});
  client& c = opened("message " + hex(conf) + "\nput_message 0 0 0x1103\n");
  EXPECT_TRUE(c.put(data_b3_req(4, 5)).ok());
  outcome busy = c.put(data_b3_req(4, 5));
  EXPECT_EQ(busy.from, source::bridge) << busy.text();
  EXPECT_EQ(busy.info, 0x1103u);
  EXPECT_TRUE(c.put(data_b3_req(4, 6)).ok()) << "another handle goes on";
  EXPECT_EQ(c.get().message, conf);
  outcome full = c.put(data_b3_req(4, 5));
  EXPECT_EQ(full.from, source::library) << full.text();
  EXPECT_EQ(full.info, 0x1103u);
  EXPECT_EQ(calls("capi20_put_message").size(), 3u) << "the busy handle never reached it";
}

TEST_F(stand_in_test, a_second_open_is_refused_while_registered) {
  client& c = opened();
  EXPECT_THROW(c.open("127.0.0.1", 2662, 2), std::logic_error);
  EXPECT_EQ(calls("capi20_register").size(), 1u);
  EXPECT_TRUE(c.usable());
  EXPECT_TRUE(c.profile(1).status.ok());
}

// The library answers 0x1109 when CAPI is not installed; 0x1009 on Profile
// is the bridge's, before Open has loaded the library.
TEST_F(stand_in_test, profile_before_open_is_the_bridges_and_after_it_the_librarys) {
  client& c = start("get_profile 0x1108\n");
  profile_result before = c.profile(1);
  EXPECT_EQ(before.status.from, source::bridge) << before.status.text();
  EXPECT_EQ(before.status.info, 0x1009u);
  ASSERT_TRUE(c.open("127.0.0.1", 2662, 2).status.ok());
  profile_result after = c.profile(1);
  EXPECT_EQ(after.status.from, source::library) << after.status.text();
  EXPECT_EQ(after.status.info, 0x1108u);
}

} // namespace
