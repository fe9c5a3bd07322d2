// SPDX-License-Identifier: MIT
// The stand-in library's sense of time, called in process: messages that
// become due after a delay, capi20_waitformessage's time-out, and the
// descriptor of capi20_fileno that polls readable while a message is due.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/time.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

struct stand_in {
  void (*reset)();
  unsigned (*register_application)(unsigned, unsigned, unsigned, unsigned*);
  unsigned (*release)(unsigned);
  unsigned (*put_message)(unsigned, unsigned char*);
  unsigned (*get_message)(unsigned, unsigned char**);
  unsigned (*waitformessage)(unsigned, timeval*);
  int (*fileno)(unsigned);
};

template <typename F> void find(void* library, const char* name, F& entry) {
  entry = reinterpret_cast<F>(dlsym(library, name));
  if (entry == nullptr)
    throw std::runtime_error(std::string("the stand-in has no ") + name);
}

const stand_in& library() {
  static const stand_in loaded = [] {
    void* library = dlopen(FAKE_CAPI_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
      throw std::runtime_error(dlerror());
    stand_in s{};
    find(library, "fake_capi_reset", s.reset);
    find(library, "capi20_register", s.register_application);
    find(library, "capi20_release", s.release);
    find(library, "capi20_put_message", s.put_message);
    find(library, "capi20_get_message", s.get_message);
    find(library, "capi20_waitformessage", s.waitformessage);
    find(library, "capi20_fileno", s.fileno);
    return s;
  }();
  return loaded;
}

// A LISTEN_CONF whose message number tells one from another.
std::string listen_conf(int number) {
  char hex[64];
  std::snprintf(hex, sizeof hex, "0e0001000581%02x0001000000%s", number, "0000");
  return hex;
}

std::string number_of(const unsigned char* message) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "%02x", message[6]);
  return hex;
}

bool readable(int descriptor, std::chrono::milliseconds within) {
  pollfd p = {descriptor, POLLIN, 0};
  return poll(&p, 1, static_cast<int>(within.count())) == 1 && (p.revents & POLLIN) != 0;
}

class fake_capi_test : public ::testing::Test {
protected:
  void SetUp() override {
    char name[] = "/tmp/capi-fake-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    folder = name;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

  // Starts the stand-in afresh on `script`.
  void start(const std::string& script) {
    std::ofstream(folder + "/script") << script;
    setenv("FAKE_CAPI_SCRIPT", (folder + "/script").c_str(), 1);
    setenv("FAKE_CAPI_LOG", (folder + "/log").c_str(), 1);
    library().reset();
  }

  // Registers application 1 and notes when.
  void register_application() {
    registered_at = clock_type::now();
    unsigned appl_id = 0;
    ASSERT_EQ(library().register_application(1, 7, 2048, &appl_id), 0u);
    ASSERT_EQ(appl_id, 1u);
  }

  unsigned wait(std::chrono::microseconds timeout) {
    timeval t = {static_cast<time_t>(timeout.count() / 1000000),
                 static_cast<suseconds_t>(timeout.count() % 1000000)};
    return library().waitformessage(1, &t);
  }

  // The Message number of what capi20_get_message hands out, or its result.
  std::string get() {
    unsigned char* message = nullptr;
    unsigned result = library().get_message(1, &message);
    char text[32];
    std::snprintf(text, sizeof text, "result %#x", result);
    if (result != 0 || message == nullptr)
      return text;
    return number_of(message);
  }

  clock_type::duration since_registration() const { return clock_type::now() - registered_at; }

  std::vector<std::string> log(const std::string& prefix) const {
    std::ifstream in(folder + "/log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
      if (line.starts_with(prefix))
        lines.push_back(line);
    return lines;
  }

  std::string folder;
  clock_type::time_point registered_at;
};

struct wait_case {
  const char* name;
  std::string script;
  std::chrono::milliseconds timeout;
  unsigned result;
  std::chrono::milliseconds at_least; // after the registration
  std::string fetched;                // what capi20_get_message then hands out
};
void PrintTo(const wait_case& row, std::ostream* out) {
  *out << row.name;
}

class waitformessage_test : public fake_capi_test,
                            public ::testing::WithParamInterface<wait_case> {};

// Lower bounds only: a slow machine may make any wait longer. Each row that
// returns early does so long before its time-out.
TEST_P(waitformessage_test, sleeps_until_a_message_is_due_or_the_time_out_ends) {
  const wait_case& c = GetParam();
  start(c.script);
  register_application();
  EXPECT_EQ(wait(c.timeout), c.result);
  auto waited = since_registration();
  EXPECT_GE(waited, c.at_least);
  if (c.at_least < c.timeout) {
    EXPECT_LT(waited, c.timeout);
  }
  EXPECT_EQ(get(), c.fetched);
}

INSTANTIATE_TEST_SUITE_P(
    fake_capi, waitformessage_test,
    ::testing::Values(
        wait_case{"due_at_once", "message " + listen_conf(1) + "\n", 10s, 0, 0ms, "01"},
        wait_case{"due_within_the_time_out", "message " + listen_conf(1) + " after 300\n", 10s, 0,
                  300ms, "01"},
        wait_case{"due_after_the_time_out", "message " + listen_conf(1) + " after 10000\n", 200ms,
                  0x1104, 200ms, "result 0x1104"},
        wait_case{"nothing_queued", "", 200ms, 0x1104, 200ms, "result 0x1104"},
        wait_case{"zero_time_out", "message " + listen_conf(1) + " after 10000\n", 0ms, 0x1104, 0ms,
                  "result 0x1104"},
        // A delay holds back the messages behind it.
        wait_case{"in_order",
                  "message " + listen_conf(1) + " after 300\nmessage " + listen_conf(2) + "\n", 10s,
                  0, 300ms, "01"},
        wait_case{"scripted_result_first",
                  "waitformessage 0x1108\nmessage " + listen_conf(1) + " after 300\n", 10s, 0x1108,
                  0ms, "result 0x1104"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(fake_capi_test, waitformessage_logs_its_time_out) {
  start("waitformessage 0x1104\n");
  register_application();
  wait(2500ms);
  timeval zero = {0, 0};
  library().waitformessage(1, &zero);
  library().waitformessage(1, nullptr);
  EXPECT_EQ(
      log("capi20_waitformessage"),
      (std::vector<std::string>{"capi20_waitformessage 1 2 500000", "capi20_waitformessage 1 0 0",
                                "capi20_waitformessage 1 null"}));
}

TEST_F(fake_capi_test, descriptor_is_readable_exactly_while_a_message_is_due) {
  start("confirm_data_b3\nmessage " + listen_conf(1) + "\nmessage " + listen_conf(2) +
        " after 300\n");
  EXPECT_EQ(library().fileno(1), -1) << "nothing registered";
  register_application();
  EXPECT_EQ(library().fileno(2), -1) << "another application";
  int descriptor = library().fileno(1);
  ASSERT_GE(descriptor, 0);

  EXPECT_TRUE(readable(descriptor, 0ms));
  EXPECT_EQ(get(), "01");
  EXPECT_FALSE(readable(descriptor, 0ms)) << "the next is not due yet";
  EXPECT_EQ(wait(0us), 0x1104u);
  EXPECT_TRUE(readable(descriptor, 10000ms));
  EXPECT_GE(since_registration(), 300ms);
  EXPECT_EQ(wait(0us), 0u);
  EXPECT_EQ(get(), "02");
  EXPECT_FALSE(readable(descriptor, 0ms));

  // An accepted DATA_B3_REQ queues its confirmation.
  std::vector<unsigned char> buffer(2173, 0);
  const char* request = "1e00010086800900010101000000000000000300";
  for (std::size_t i = 0; i < 20; ++i)
    buffer[i] =
        static_cast<unsigned char>(std::stoul(std::string(request + 2 * i, 2), nullptr, 16));
  EXPECT_EQ(library().put_message(1, buffer.data()), 0u);
  EXPECT_TRUE(readable(descriptor, 0ms));
  EXPECT_EQ(get(), "09");
  EXPECT_FALSE(readable(descriptor, 0ms));

  EXPECT_EQ(library().release(1), 0u);
  EXPECT_EQ(library().fileno(1), -1) << "released";
  EXPECT_EQ(log("capi20_fileno"), (std::vector<std::string>{"capi20_fileno 1", "capi20_fileno 2",
                                                            "capi20_fileno 1", "capi20_fileno 1"}));
}

} // namespace
