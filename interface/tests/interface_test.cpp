// SPDX-License-Identifier: MIT
// libcapi20's entry points as libcapi-bridge-preload.so answers them, called
// as a program calls the library (this test links the preload library in
// the library's place), through real bridges and Debian's libcapi20 against
// the emulated host.
#include "capi_bridge/capimsg.hpp"
#include "harness/emulator.hpp"

#include <capi20.h>
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/time.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>
#include <tuple>

namespace fs = std::filesystem;
using capimsg::bytes;
namespace cmd = capimsg::command;
namespace sub = capimsg::subcommand;
using namespace std::chrono_literals;

namespace {

// The bridges this process has started, oldest first: the capi-bridge
// processes whose HOME is `home` (the layer starts them under keepers of
// their own, children of no process of the test's).
// Kills a bridge and waits until it has ended (its keeper reaps it):
// from then on a write to it fails at once.
bool killed(long pid) {
  if (::kill(static_cast<pid_t>(pid), SIGKILL) != 0)
    return false;
  const std::string entry = "/proc/" + std::to_string(pid);
  for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
       std::chrono::steady_clock::now() < until;
       std::this_thread::sleep_for(std::chrono::milliseconds(1)))
    if (!fs::exists(entry))
      return true;
  return false;
}

std::vector<long> bridges(const std::string& home) {
  std::vector<long> found;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator("/proc", ignored)) {
    std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos)
      continue;
    if (fs::read_symlink(entry.path() / "exe", ignored).filename() != "capi-bridge")
      continue;
    std::ifstream environment(entry.path() / "environ");
    for (std::string variable; std::getline(environment, variable, '\0');)
      if (variable == "HOME=" + home)
        found.push_back(std::stol(name));
  }
  std::sort(found.begin(), found.end());
  return found;
}

class interface_test : public testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "capi-interface-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder = pattern;
    std::ofstream(folder + "/.capi20rc") << "TRACELEVEL 0\n";
    // The bridges inherit these; the preload library reads the bridge's path
    // at its first call, and the script starts a test's stand-in instead
    // where the test wrote one (stand_in).
    ::setenv("HOME", folder.c_str(), 1);
    ::setenv("CAPI_TEST_BRIDGE", CAPI_BRIDGE, 1);
    ::setenv("CAPI_BRIDGE_EXECUTABLE", BRIDGE_OR_STAND_IN, 1);
  }
  void TearDown() override {
    for (unsigned id : registered)
      capi20_release(id);
    if (emulator.running()) {
      EXPECT_TRUE(emulator.stop());
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }

  void start_emulator(unsigned first_appl_id) {
    std::string error;
    ASSERT_TRUE(emulator.start(
        CAPI_HOST_EMULATOR,
        {"--first-appl-id", std::to_string(first_appl_id), "--exit-after", "120", "--verbose"},
        folder + "/emulator.log", error))
        << error;
    capi20ext_set_driver(const_cast<char*>("fritzbox"));
    capi20ext_set_host(const_cast<char*>("127.0.0.1"));
    capi20ext_set_port(emulator.port());
  }

  unsigned registered_application() {
    unsigned id = 0;
    EXPECT_EQ(capi20_register(2, 7, 2048, &id), 0u);
    if (id != 0)
      registered.push_back(id);
    return id;
  }

  void forget(unsigned id) { std::erase(registered, id); }

  // Bridges started from now on are tests/support/older_bridge.py with
  // these arguments after its log, the file "kinds".
  void stand_in(const std::string& arguments) {
    std::ofstream(folder + "/stand-in")
        << "exec python3 " OLDER_BRIDGE " " << folder << "/kinds " << arguments << "\n";
  }
  std::string kinds() const {
    std::ifstream in(folder + "/kinds");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  static unsigned put(unsigned id, const bytes& message) {
    bytes copy = message;
    return capi20_put_message(id, copy.data());
  }

  // The next message of `id`, waiting up to 5 s for it; a copy.
  static bytes next(unsigned id) {
    timeval wait = {5, 0};
    if (capi20_waitformessage(id, &wait) != 0)
      return {};
    unsigned char* message = nullptr;
    if (capi20_get_message(id, &message) != 0 || message == nullptr)
      return {};
    return bytes(message, message + capimsg::get_u16(capimsg::byte_view(message, 2), 0));
  }

  static bytes expect(unsigned id, std::uint8_t command, std::uint8_t subcommand) {
    bytes m = next(id);
    EXPECT_GE(m.size(), 8u);
    if (m.size() >= 8) {
      EXPECT_EQ(m[4], command) << capimsg::describe(m);
      EXPECT_EQ(m[5], subcommand) << capimsg::describe(m);
    }
    return m;
  }

  // A call to the emulated host's echo number with its B3 connection up;
  // the NCCI.
  std::uint32_t echo_call(unsigned id) {
    EXPECT_EQ(put(id, capimsg::build_connect_req(0, 1, {1, 2, {0, 0, "999"}, {}, std::nullopt})),
              0u);
    plci = capimsg::read_conf(expect(id, cmd::connect, sub::conf))->address;
    bytes active = expect(id, cmd::connect_active, sub::ind);
    put(id, capimsg::build_address_only(0, 2, cmd::connect_active, sub::resp, plci));
    put(id, capimsg::build_b3_ncpi(0, 3, cmd::connect_b3, sub::req, {plci, {}}));
    std::uint32_t ncci = capimsg::read_conf(expect(id, cmd::connect_b3, sub::conf))->address;
    expect(id, cmd::connect_b3_active, sub::ind);
    put(id, capimsg::build_address_only(0, 4, cmd::connect_b3_active, sub::resp, ncci));
    return ncci;
  }

  // `id`, whose bridge has died, is gone for good: a request is refused,
  // the wait ends, and the get says why.
  static void expect_gone(unsigned id) {
    // A put does not wait for its reply: the loss shows at the next call
    // at the latest.
    unsigned first = put(id, capimsg::build_listen_req(0, 1, {1, 0, 1, 0, {}}));
    EXPECT_TRUE(first == 0 || first == 0x1108u) << std::hex << first;
    EXPECT_EQ(put(id, capimsg::build_listen_req(0, 2, {1, 0, 1, 0, {}})), 0x1108u);
    timeval wait = {5, 0};
    EXPECT_EQ(capi20_waitformessage(id, &wait), 0u) << "something to fetch: the error";
    unsigned char* message = nullptr;
    EXPECT_EQ(capi20_get_message(id, &message), 0x1108u);
  }

  std::string folder;
  std::uint32_t plci = 0; // of the last echo_call
  harness::local_emulator emulator;
  std::vector<unsigned> registered;
};

bytes pattern(std::uint8_t seed, std::size_t size) {
  bytes out(size);
  for (std::size_t i = 0; i < size; ++i)
    out[i] = static_cast<std::uint8_t>(seed + i * 7);
  return out;
}

TEST_F(interface_test, applications_have_ids_of_the_programs_own) {
  start_emulator(340);
  unsigned a = registered_application();
  unsigned b = registered_application();
  EXPECT_EQ(a, 1u);
  EXPECT_EQ(b, 2u);
  ASSERT_EQ(put(a, capimsg::build_listen_req(0, 1, {1, 0, 1, 0, {}})), 0u);
  bytes conf = expect(a, cmd::listen, sub::conf);
  EXPECT_EQ(capimsg::get_u16(conf, 2), a) << "the ApplID field says the program's ID";
  EXPECT_TRUE(emulator.wait_for_log("appl=340 <- LISTEN_REQ")) << "the host's ID is its own";

  EXPECT_EQ(capi20_release(a), 0u);
  forget(a);
  EXPECT_EQ(capi20_release(a), 0x1101u);
  unsigned c = registered_application();
  EXPECT_EQ(c, 1u) << "free again";
}

// A DATA_B3_REQ's data is read through the program's pointer, and nothing is
// written into the program's memory; a DATA_B3_IND's data stays where it is
// pointed at until its DATA_B3_RESP, whatever else is fetched meanwhile.
TEST_F(interface_test, data_travels_from_the_programs_pointer_and_stays_until_its_response) {
  start_emulator(345);
  unsigned a = registered_application();
  std::uint32_t ncci = echo_call(a);

  // The 22-byte form with the data right behind the message, as the
  // library reads it; then the 30-byte form with Data64.
  const bytes first = pattern(1, 100), second = pattern(2, 2048);
  bytes short_form = capimsg::build_data_b3(0, 10, sub::req, {ncci, 1, 0, std::nullopt, first});
  short_form.resize(short_form.size() + 64, 0xEE);
  const bytes short_before = short_form;
  EXPECT_EQ(capi20_put_message(a, short_form.data()), 0u);
  EXPECT_EQ(short_form, short_before) << "the program's buffer was written";

  bytes data = second;
  bytes long_form = capimsg::build_data_b3(
      0, 11, sub::req, {ncci, 2, 0, reinterpret_cast<std::uintptr_t>(data.data()), {}});
  capimsg::put_u16(long_form, 16, static_cast<std::uint16_t>(data.size()));
  long_form.resize(30 + 64, 0xEE);
  const bytes long_before = long_form;
  EXPECT_EQ(capi20_put_message(a, long_form.data()), 0u);
  EXPECT_EQ(long_form, long_before) << "the program's buffer was written";

  // Both come back (the host echoes them); both are held before either is
  // answered.
  std::vector<std::pair<std::uint16_t, const std::uint8_t*>> held;
  std::vector<std::size_t> sizes;
  while (held.size() < 2) {
    unsigned char* message = nullptr;
    timeval wait = {5, 0};
    ASSERT_EQ(capi20_waitformessage(a, &wait), 0u);
    ASSERT_EQ(capi20_get_message(a, &message), 0u);
    if (message[4] != cmd::data_b3 || message[5] != sub::ind)
      continue;
    ASSERT_EQ(capimsg::get_u16(capimsg::byte_view(message, 30), 0), 30u);
    EXPECT_EQ(capimsg::get_u32(capimsg::byte_view(message, 30), 12), 0u) << "Data is 0";
    std::uint64_t address = capimsg::get_u64(capimsg::byte_view(message, 30), 22);
    held.emplace_back(capimsg::get_u16(capimsg::byte_view(message, 30), 18),
                      reinterpret_cast<const std::uint8_t*>(address));
    sizes.push_back(capimsg::get_u16(capimsg::byte_view(message, 30), 16));
  }
  ASSERT_EQ(sizes, (std::vector<std::size_t>{first.size(), second.size()}));
  EXPECT_TRUE(std::equal(first.begin(), first.end(), held[0].second));
  EXPECT_TRUE(std::equal(second.begin(), second.end(), held[1].second));
  for (auto [handle, data_pointer] : held)
    EXPECT_EQ(put(a, capimsg::build_data_b3_resp(0, 20, {ncci, handle})), 0u);
}

// Fetched ahead of the program (here by the thread behind capi20_fileno),
// a DISCONNECT_IND makes the library let go of the call's DATA_B3_IND; the
// program may still answer the one it holds, as it could with the library
// in its own process.
TEST_F(interface_test, a_held_indication_can_be_answered_after_its_call_was_cleared_ahead) {
  start_emulator(348);
  unsigned a = registered_application();
  std::uint32_t ncci = echo_call(a);
  ASSERT_GE(capi20_fileno(a), 0);
  ASSERT_EQ(
      put(a, capimsg::build_data_b3(0, 10, sub::req, {ncci, 1, 0, std::nullopt, pattern(3, 10)})),
      0u);
  bytes ind;
  while (ind.empty() || ind[4] != cmd::data_b3 || ind[5] != sub::ind) {
    ind = next(a);
    ASSERT_FALSE(ind.empty());
  }
  ASSERT_EQ(put(a, capimsg::build_disconnect_req(0, 11, plci)), 0u);
  ASSERT_TRUE(emulator.wait_for_log("DISCONNECT_IND"));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(put(a, capimsg::build_data_b3_resp(0, 12, {ncci, capimsg::get_u16(ind, 18)})), 0u);
}

TEST_F(interface_test, get_message_answers_at_once_when_nothing_waits) {
  start_emulator(350);
  unsigned a = registered_application();
  unsigned char* message = nullptr;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(capi20_get_message(a, &message), 0x1104u);
  timeval wait = {0, 200000};
  EXPECT_EQ(capi20_waitformessage(a, &wait), 0x1104u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

// One thread waits for messages while another puts and reads profiles.
TEST_F(interface_test, a_thread_waiting_for_messages_holds_up_no_other) {
  start_emulator(355);
  unsigned a = registered_application();
  constexpr int rounds = 30;
  std::vector<std::uint16_t> confirmed;
  std::thread waiter([&] {
    while (confirmed.size() < rounds) {
      if (capi20_waitformessage(a, nullptr) != 0)
        return;
      unsigned char* message = nullptr;
      if (capi20_get_message(a, &message) == 0)
        confirmed.push_back(capimsg::get_u16(capimsg::byte_view(message, 8), 6));
    }
  });
  std::vector<std::uint16_t> sent;
  for (std::uint16_t i = 1; i <= rounds; ++i) {
    sent.push_back(i);
    EXPECT_EQ(put(a, capimsg::build_listen_req(0, i, {1, 0, 1, 0, {}})), 0u);
    unsigned char profile[64] = {};
    EXPECT_EQ(capi20_get_profile(1, profile), 0u);
    EXPECT_EQ(profile[2], 2) << "two B channels";
  }
  waiter.join();
  EXPECT_EQ(confirmed, sent);
}

// Release from another thread ends every wait of the application at once
// with 0x1101, whether the program waits with a time-out or without, and
// whether a pump (capi20_fileno) keeps a waiting Get out or the waiters do.
TEST_F(interface_test, release_ends_every_wait_of_the_application_at_once) {
  start_emulator(362);
  for (bool pumped : {false, true}) {
    SCOPED_TRACE(pumped ? "with capi20_fileno" : "without");
    unsigned a = registered_application();
    if (pumped) {
      ASSERT_GE(capi20_fileno(a), 0);
    }
    std::vector<std::future<unsigned>> waits;
    for (bool for_ever : {true, false, true}) {
      std::packaged_task<unsigned()> wait([a, for_ever] {
        timeval long_time = {30, 0};
        return capi20_waitformessage(a, for_ever ? nullptr : &long_time);
      });
      waits.push_back(wait.get_future());
      // A waiter that never returns must not hold up the test's end.
      std::thread(std::move(wait)).detach();
    }
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(capi20_release(a), 0u);
    forget(a);
    for (auto& w : waits) {
      ASSERT_EQ(w.wait_for(5s), std::future_status::ready) << "a waiter still waits";
      EXPECT_EQ(w.get(), 0x1101u);
    }
  }
}

// NULL where the program should have given a place: an info value, no
// crash, and nothing taken from the application.
TEST_F(interface_test, null_pointers_are_answered_with_an_info_value) {
  start_emulator(363);
  unsigned a = registered_application();
  EXPECT_EQ(capi20_register(2, 7, 2048, nullptr), 0x1008u);
  EXPECT_EQ(capi20_put_message(a, nullptr), 0x1102u);
  unsigned char buffer[64];
  EXPECT_EQ(capi20_get_profile(1, nullptr), 0x1108u);
  EXPECT_EQ(capi20_get_manufacturer(0, nullptr), nullptr);
  ASSERT_EQ(put(a, capimsg::build_listen_req(0, 1, {1, 0, 1, 0, {}})), 0u);
  timeval wait = {5, 0};
  ASSERT_EQ(capi20_waitformessage(a, &wait), 0u);
  EXPECT_EQ(capi20_get_message(a, nullptr), 0x1108u);
  expect(a, cmd::listen, sub::conf);
  EXPECT_EQ(capi20_get_profile(1, buffer), 0u);
}

// One thread fetches DATA_B3_INDs while another reads each one's data and
// answers it: the library hands a Data handle out again as soon as the
// bridge has passed on its response, and the data fetched under it anew
// stays until its own response.
TEST_F(interface_test, data_stays_until_its_own_response_while_another_thread_answers) {
  start_emulator(364);
  unsigned a = registered_application();
  std::uint32_t ncci = echo_call(a);
  constexpr int blocks = 300;
  constexpr std::size_t block_size = 512;
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<std::tuple<int, const std::uint8_t*, std::uint16_t>> to_answer;
  bool done = false;
  int intact = 0;
  std::thread answerer([&] {
    for (;;) {
      std::unique_lock lock(mutex);
      arrived.wait(lock, [&] { return done || !to_answer.empty(); });
      if (to_answer.empty())
        return;
      auto [index, data, handle] = to_answer.front();
      to_answer.pop_front();
      lock.unlock();
      bytes expected = pattern(static_cast<std::uint8_t>(index), block_size);
      if (std::equal(expected.begin(), expected.end(), data))
        ++intact;
      put(a, capimsg::build_data_b3_resp(0, 20, {ncci, handle}));
    }
  });
  int sent = 0, confirmed = 0, received = 0;
  while (received < blocks) {
    while (sent < blocks && sent - confirmed < 7) {
      ASSERT_EQ(put(a, capimsg::build_data_b3(
                           0, 10, sub::req,
                           {ncci, static_cast<std::uint16_t>(sent + 1), 0, std::nullopt,
                            pattern(static_cast<std::uint8_t>(sent), block_size)})),
                0u);
      ++sent;
    }
    timeval wait = {5, 0};
    ASSERT_EQ(capi20_waitformessage(a, &wait), 0u) << received << " of " << blocks;
    unsigned char* message = nullptr;
    ASSERT_EQ(capi20_get_message(a, &message), 0u);
    if (message[4] == cmd::data_b3 && message[5] == sub::conf) {
      ++confirmed;
    } else if (message[4] == cmd::data_b3 && message[5] == sub::ind) {
      capimsg::byte_view m(message, 30);
      std::lock_guard lock(mutex);
      to_answer.emplace_back(received++,
                             reinterpret_cast<const std::uint8_t*>(capimsg::get_u64(m, 22)),
                             capimsg::get_u16(m, 18));
      arrived.notify_one();
    }
  }
  {
    std::lock_guard lock(mutex);
    done = true;
    arrived.notify_one();
  }
  answerer.join();
  EXPECT_EQ(intact, blocks) << "data changed before its response";
}

// A time-out of 0 looks once, as the library does: a program that polls
// without waiting sees its messages.
TEST_F(interface_test, waiting_no_time_still_looks_for_a_message) {
  start_emulator(369);
  unsigned a = registered_application();
  ASSERT_EQ(put(a, capimsg::build_listen_req(0, 1, {1, 0, 1, 0, {}})), 0u);
  bool seen = false;
  for (auto until = std::chrono::steady_clock::now() + 5s;
       !seen && std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(10ms)) {
    timeval none = {0, 0};
    seen = capi20_waitformessage(a, &none) == 0;
  }
  EXPECT_TRUE(seen);
  expect(a, cmd::listen, sub::conf);
}

TEST_F(interface_test, fileno_polls_readable_while_a_message_waits) {
  start_emulator(360);
  unsigned a = registered_application();
  int fd = capi20_fileno(a);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(capi20_fileno(a), fd);
  pollfd p{fd, POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 100), 0);
  ASSERT_EQ(put(a, capimsg::build_listen_req(0, 1, {1, 0, 1, 0, {}})), 0u);
  EXPECT_EQ(::poll(&p, 1, 5000), 1);
  unsigned char* message = nullptr;
  ASSERT_EQ(capi20_get_message(a, &message), 0u);
  EXPECT_EQ(message[4], cmd::listen);
  EXPECT_EQ(::poll(&p, 1, 100), 0) << "readable after the last message was taken";
}

// The next message of `id` that is not a DATA_B3_CONF (whose order beside
// an echoed DATA_B3_IND is the host's to choose).
bytes next_but_data_confirmations(unsigned id) {
  for (;;) {
    timeval wait = {5, 0};
    unsigned char* message = nullptr;
    if (capi20_waitformessage(id, &wait) != 0 || capi20_get_message(id, &message) != 0)
      return {};
    bytes m(message, message + capimsg::get_u16(capimsg::byte_view(message, 2), 0));
    if (m[4] != cmd::data_b3 || m[5] != sub::conf)
      return m;
  }
}

// A bridge that dies ends its application's calls as a lost line ends
// them; a new bridge then serves the application under the same ID, its
// listen repeated (the program sees no LISTEN_CONF of it), and the
// program's other applications go on untouched. Data the program holds
// stays its own until it answers.
TEST_F(interface_test, a_dead_bridge_ends_its_calls_and_a_new_one_serves_the_application) {
  start_emulator(365);
  unsigned a = registered_application();
  // a's bridge: the one there is now (process IDs may wrap around, so the
  // order of their numbers says nothing).
  std::vector<long> pids = bridges(folder);
  ASSERT_EQ(pids.size(), 1u);
  unsigned b = registered_application();
  // a's own thread fetches beside the program's calls and the reconnection.
  ASSERT_GE(capi20_fileno(a), 0);
  ASSERT_EQ(put(a, capimsg::build_listen_req(0, 1, {1, 0, 1, 0, {}})), 0u);
  expect(a, cmd::listen, sub::conf);
  std::uint32_t ncci = echo_call(a);
  const bytes sent = pattern(3, 200);
  bytes request = capimsg::build_data_b3(0, 10, sub::req, {ncci, 1, 0, std::nullopt, sent});
  ASSERT_EQ(capi20_put_message(a, request.data()), 0u);
  bytes indication = next_but_data_confirmations(a);
  ASSERT_EQ(indication.size(), 30u);
  ASSERT_EQ(indication[4], cmd::data_b3);
  const auto* held = reinterpret_cast<const std::uint8_t*>(capimsg::get_u64(indication, 22));

  ASSERT_TRUE(killed(pids[0]));
  EXPECT_EQ(put(a, capimsg::build_b3_ncpi(0, 11, cmd::reset_b3, sub::req, {ncci, {}})), 0x1108u)
      << "a request that finds the bridge dead is refused";
  bytes b3_down = next_but_data_confirmations(a);
  auto ended_b3 = capimsg::read_disconnect_b3_ind(b3_down);
  ASSERT_TRUE(ended_b3 && b3_down[4] == cmd::disconnect_b3 && b3_down[5] == sub::ind)
      << capimsg::describe(b3_down);
  EXPECT_EQ(ended_b3->ncci, ncci);
  EXPECT_EQ(ended_b3->reason_b3, 0x3301u);
  EXPECT_EQ(capimsg::get_u16(b3_down, 2), a) << "the program's application ID";
  bytes down = expect(a, cmd::disconnect, sub::ind);
  auto ended = capimsg::read_disconnect_ind(down);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->plci, plci);
  EXPECT_EQ(ended->reason, 0x3301u);
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), held)) << "held data let go of";
  EXPECT_EQ(put(a, capimsg::build_data_b3_resp(0, 12, {ncci, 1})), 0u);
  EXPECT_EQ(put(a, capimsg::build_address_only(0, 13, cmd::disconnect_b3, sub::resp, ncci)), 0u);
  EXPECT_EQ(put(a, capimsg::build_address_only(0, 14, cmd::disconnect, sub::resp, plci)), 0u);

  // b calls a, which never listened again itself: retried while a is not
  // yet back (the call is cleared at once).
  bool reached = false;
  for (int attempt = 0; attempt < 50 && !reached; ++attempt) {
    ASSERT_EQ(put(b, capimsg::build_connect_req(0, 20, {1, 2, {0, 0, "123"}, {}, std::nullopt})),
              0u);
    for (auto until = std::chrono::steady_clock::now() + 5s;
         std::chrono::steady_clock::now() < until;) {
      timeval moment = {0, 50000};
      if (capi20_waitformessage(a, &moment) == 0) {
        bytes m = next(a);
        ASSERT_GE(m.size(), 8u);
        EXPECT_EQ(m[4], cmd::connect) << capimsg::describe(m);
        EXPECT_EQ(m[5], sub::ind) << capimsg::describe(m);
        reached = true;
        break;
      }
      timeval none = {0, 0};
      if (capi20_waitformessage(b, &none) != 0)
        continue;
      bytes m = next(b);
      ASSERT_GE(m.size(), 12u);
      if (m[4] == cmd::connect && m[5] == sub::conf) {
        ASSERT_EQ(capimsg::read_conf(m)->info, 0u) << capimsg::describe(m);
      }
      if (m[4] == cmd::disconnect && m[5] == sub::ind) {
        put(b,
            capimsg::build_address_only(0, 21, cmd::disconnect, sub::resp, capimsg::get_u32(m, 8)));
        std::this_thread::sleep_for(100ms);
        break;
      }
    }
  }
  EXPECT_TRUE(reached) << "a never got b's call";
  std::vector<long> now = bridges(folder);
  EXPECT_EQ(now.size(), 2u);
  EXPECT_EQ(std::count(now.begin(), now.end(), pids[0]), 0);
}

// Without reconnection (CAPI_BRIDGE_RECONNECT=0, read at the first call:
// each test runs in a process of its own), a bridge that dies takes its
// application down with an error; the program, and its other applications,
// go on.
TEST_F(interface_test, without_reconnection_a_dead_bridge_is_an_error_of_its_application_alone) {
  ::setenv("CAPI_BRIDGE_RECONNECT", "0", 1);
  start_emulator(368);
  unsigned a = registered_application();
  std::vector<long> pids = bridges(folder);
  ASSERT_EQ(pids.size(), 1u);
  unsigned b = registered_application();
  ASSERT_EQ(bridges(folder).size(), 2u);
  ASSERT_TRUE(killed(pids[0]));
  expect_gone(a);
  ASSERT_EQ(put(b, capimsg::build_listen_req(0, 1, {1, 0, 1, 0, {}})), 0u);
  expect(b, cmd::listen, sub::conf);
}

// Where trying again cannot help (the bridge program is no longer there),
// the layer gives up at once: the application is gone, as without
// reconnection, and the bridges' file says so.
TEST_F(interface_test, an_application_whose_bridge_cannot_come_back_is_given_up) {
  const std::string bridge = folder + "/capi-bridge";
  fs::copy_file(CAPI_BRIDGE, bridge);
  ::setenv("CAPI_BRIDGE_EXECUTABLE", bridge.c_str(), 1);
  ::setenv("CAPI_BRIDGE_STDERR", (folder + "/bridges").c_str(), 1);
  start_emulator(369);
  unsigned a = registered_application();
  std::vector<long> pids = bridges(folder);
  ASSERT_EQ(pids.size(), 1u);
  fs::remove(bridge);
  ASSERT_TRUE(killed(pids[0]));
  expect_gone(a);
  // Written once the application is gone, so perhaps after the answer.
  std::string all;
  for (auto until = std::chrono::steady_clock::now() + 5s;
       all.find("gave up registering it again") == std::string::npos &&
       std::chrono::steady_clock::now() < until;
       std::this_thread::sleep_for(10ms)) {
    std::ifstream lines(folder + "/bridges");
    all.assign(std::istreambuf_iterator<char>(lines), std::istreambuf_iterator<char>());
  }
  EXPECT_NE(all.find("gave up registering it again"), std::string::npos) << all;
}

// A put does not wait for its reply: one that the bridge refuses because
// the host has gone (its second here) shows at the application's next
// call, whichever it is, and without reconnection at every call after that.
TEST_F(interface_test, a_put_refused_by_a_gone_host_shows_no_later_than_the_next_call) {
  ::setenv("CAPI_BRIDGE_RECONNECT", "0", 1);
  const bytes listen = capimsg::build_listen_req(0, 1, {1, 0, 1, 0, {}});
  struct next_call {
    const char* name;
    unsigned (*call)(unsigned id, const bytes& listen);
    unsigned answer;
  };
  const next_call cases[] = {
      {"put", [](unsigned id, const bytes& m) { return put(id, m); }, 0x1108},
      {"get",
       [](unsigned id, const bytes&) {
         unsigned char* message = nullptr;
         return capi20_get_message(id, &message);
       },
       0x1108},
      // Something to fetch: the error, which get_message then gives.
      {"wait",
       [](unsigned id, const bytes&) {
         timeval wait = {5, 0};
         return capi20_waitformessage(id, &wait);
       },
       0},
  };
  start_emulator(369);
  stand_in("2");
  for (const next_call& c : cases) {
    SCOPED_TRACE(c.name);
    unsigned a = registered_application();
    EXPECT_EQ(put(a, listen), 0u);
    EXPECT_EQ(put(a, listen), 0u) << "written; its refusal is not waited for";
    EXPECT_EQ(c.call(a, listen), c.answer);
    unsigned char* message = nullptr;
    EXPECT_EQ(capi20_get_message(a, &message), 0x1108u);
    EXPECT_EQ(put(a, listen), 0x1108u);
    EXPECT_EQ(capi20_release(a), 0u);
    forget(a);
  }
}

// Against a bridge without the batch (nor the waiting Get), messages are
// fetched with Get.
TEST_F(interface_test, messages_come_with_get_from_a_bridge_without_the_batch) {
  start_emulator(369);
  stand_in("");
  unsigned a = registered_application();
  ASSERT_EQ(put(a, capimsg::build_listen_req(0, 1, {1, 0, 1, 0, {}})), 0u);
  unsigned char* message = nullptr;
  EXPECT_EQ(capi20_get_message(a, &message), 0x1104u);
  EXPECT_EQ(capi20_get_message(a, &message), 0x1104u);
  ASSERT_EQ(capi20_get_message(a, &message), 0u);
  EXPECT_EQ(message[4], cmd::listen);
  EXPECT_EQ(message[5], sub::conf);
  EXPECT_EQ(kinds(), "WBOMGGG") << "the probes, Open, the Put, three Gets";
}

TEST_F(interface_test, without_a_host_capi_is_not_installed) {
  // Nothing listens on port 1 of the loopback address.
  capi20ext_set_host(const_cast<char*>("127.0.0.1"));
  capi20ext_set_port(1);
  EXPECT_EQ(capi20_isinstalled(), 0x1009u);
  unsigned id = 7;
  EXPECT_EQ(capi20_register(2, 7, 2048, &id), 0x1009u);
  EXPECT_EQ(id, 0u);
  unsigned char buffer[64];
  EXPECT_EQ(capi20_get_manufacturer(0, buffer), nullptr);
  EXPECT_EQ(capi20_get_profile(0, buffer), 0x1109u);
  capi20ext_set_driver(const_cast<char*>("rcapi"));
  EXPECT_STREQ(capi20ext_get_driver(), "rcapi");
  EXPECT_EQ(capi20_isinstalled(), 0x1009u) << "only the fritzbox driver is served";
  capi20ext_set_driver(const_cast<char*>("fritzbox"));
}

} // namespace
