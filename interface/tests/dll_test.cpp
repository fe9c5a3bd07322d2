// SPDX-License-Identifier: MIT
// capi2064.dll (capi2032.dll in a 32-bit build) as a Windows program calls
// it, through capi-bridge.exe beside it, the library it loads and the
// emulated host whose address CAPI_BRIDGE_HOST and CAPI_BRIDGE_PORT give
// (interface/tests/wine_dll_test.sh starts the host and this under Wine).
#include "capi_bridge/capimsg.hpp"

#include <gtest/gtest.h>

#include <windows.h>
// After windows.h.
#include <tlhelp32.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

using capimsg::bytes;
namespace cmd = capimsg::command;
namespace sub = capimsg::subcommand;
using namespace std::chrono_literals;

namespace {

struct capi_dll {
  DWORD(WINAPI* register_application)(DWORD, DWORD, DWORD, DWORD, DWORD*);
  DWORD(WINAPI* release)(DWORD);
  DWORD(WINAPI* put)(DWORD, PVOID);
  DWORD(WINAPI* get)(DWORD, PVOID*);
  DWORD(WINAPI* wait)(DWORD);
  DWORD(WINAPI* profile)(PVOID, DWORD);
};

template <typename T> void find(HMODULE dll, const char* name, T& slot) {
  slot = reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddress(dll, name)));
  ASSERT_NE(slot, nullptr) << name;
}

const char* const dll_name = sizeof(void*) == 8 ? "capi2064.dll" : "capi2032.dll";

class dll_test : public testing::Test {
protected:
  void SetUp() override {
    HMODULE dll = LoadLibraryA(dll_name);
    ASSERT_NE(dll, nullptr) << dll_name;
    find(dll, "CAPI_REGISTER", capi.register_application);
    find(dll, "CAPI_RELEASE", capi.release);
    find(dll, "CAPI_PUT_MESSAGE", capi.put);
    find(dll, "CAPI_GET_MESSAGE", capi.get);
    find(dll, "CAPI_WAIT_FOR_SIGNAL", capi.wait);
    find(dll, "CAPI_GET_PROFILE", capi.profile);
  }
  void TearDown() override {
    for (DWORD id : registered)
      capi.release(id);
  }

  DWORD registered_application() {
    DWORD id = 0;
    EXPECT_EQ(capi.register_application(3072, 2, 7, 2048, &id), 0u);
    if (id != 0)
      registered.push_back(id);
    return id;
  }

  DWORD put(DWORD id, const bytes& message) {
    bytes copy = message;
    copy.resize(copy.size() + 4096);
    return capi.put(id, copy.data());
  }

  // The next message of `id`, waiting up to 5 s; a copy.
  bytes next(DWORD id) {
    for (auto until = std::chrono::steady_clock::now() + 5s;
         std::chrono::steady_clock::now() < until;) {
      PVOID message = nullptr;
      DWORD info = capi.get(id, &message);
      if (info == 0) {
        auto* m = static_cast<const std::uint8_t*>(message);
        return bytes(m, m + (m[0] | m[1] << 8));
      }
      if (info != 0x1104)
        return {};
      std::this_thread::sleep_for(1ms);
    }
    return {};
  }

  bytes expect(DWORD id, std::uint8_t command, std::uint8_t subcommand) {
    bytes m = next(id);
    EXPECT_GE(m.size(), 8u);
    if (m.size() >= 8) {
      EXPECT_EQ(m[4], command) << capimsg::describe(m);
      EXPECT_EQ(m[5], subcommand) << capimsg::describe(m);
    }
    return m;
  }

  // A call to the emulated host's echo number, its B3 connection up.
  std::uint32_t echo_call(DWORD id) {
    EXPECT_EQ(put(id, capimsg::build_connect_req(0, 1, {1, 2, {0, 0, "999"}, {}, std::nullopt})),
              0u);
    std::uint32_t plci = capimsg::read_conf(expect(id, cmd::connect, sub::conf))->address;
    expect(id, cmd::connect_active, sub::ind);
    put(id, capimsg::build_address_only(0, 2, cmd::connect_active, sub::resp, plci));
    put(id, capimsg::build_b3_ncpi(0, 3, cmd::connect_b3, sub::req, {plci, {}}));
    std::uint32_t ncci = capimsg::read_conf(expect(id, cmd::connect_b3, sub::conf))->address;
    expect(id, cmd::connect_b3_active, sub::ind);
    put(id, capimsg::build_address_only(0, 4, cmd::connect_b3_active, sub::resp, ncci));
    return ncci;
  }

  capi_dll capi{};
  std::vector<DWORD> registered;
};

TEST_F(dll_test, get_message_answers_at_once_when_nothing_waits) {
  DWORD a = registered_application();
  PVOID message = nullptr;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(capi.get(a, &message), 0x1104u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

// One thread blocked in CAPI_WAIT_FOR_SIGNAL; others put, get and read
// profiles meanwhile.
TEST_F(dll_test, a_thread_waiting_for_the_signal_holds_up_no_other) {
  DWORD a = registered_application();
  constexpr std::uint16_t rounds = 20;
  std::vector<std::uint16_t> confirmed;
  std::thread waiter([&] {
    while (confirmed.size() < rounds) {
      if (capi.wait(a) != 0)
        return;
      PVOID message = nullptr;
      if (capi.get(a, &message) == 0)
        confirmed.push_back(
            capimsg::get_u16(capimsg::byte_view(static_cast<std::uint8_t*>(message), 8), 6));
    }
  });
  std::vector<std::uint16_t> sent;
  for (std::uint16_t i = 1; i <= rounds; ++i) {
    sent.push_back(i);
    EXPECT_EQ(put(a, capimsg::build_listen_req(0, i, {1, 0, 1, 0, {}})), 0u);
    std::uint8_t profile[64] = {};
    EXPECT_EQ(capi.profile(profile, 1), 0u);
    EXPECT_EQ(profile[2], 2) << "two B channels";
  }
  waiter.join();
  EXPECT_EQ(confirmed, sent);
}

// The data is read through the program's pointer and nothing is written
// into its buffer; DATA_B3_IND data stays readable until its response.
TEST_F(dll_test, data_travels_from_the_programs_pointer_and_stays_until_its_response) {
  DWORD a = registered_application();
  std::uint32_t ncci = echo_call(a);
  std::vector<bytes> sent = {bytes(100, 0x5A), bytes(2048, 0xA5)};
  for (std::uint16_t i = 0; i < 2; ++i) {
    bytes data = sent[i];
    bytes m = capimsg::build_data_b3(0, static_cast<std::uint16_t>(10 + i), sub::req,
                                     {ncci, i, 0, std::uint64_t{0}, {}});
    capimsg::put_u16(m, 16, static_cast<std::uint16_t>(data.size()));
    auto address = reinterpret_cast<std::uintptr_t>(data.data());
    if (sizeof(void*) == 8) {
      for (int k = 0; k < 8; ++k)
        m[22 + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(address >> (8 * k));
    } else {
      m.resize(22);
      capimsg::put_u16(m, 0, 22);
      capimsg::put_u16(m, 12, static_cast<std::uint16_t>(address));
      capimsg::put_u16(m, 14, static_cast<std::uint16_t>(address >> 16));
    }
    m.resize(m.size() + 64, 0xEE);
    const bytes before = m;
    EXPECT_EQ(capi.put(a, m.data()), 0u);
    EXPECT_EQ(m, before) << "the program's buffer was written";
  }
  std::vector<std::pair<std::uint16_t, const std::uint8_t*>> held;
  std::vector<std::size_t> sizes;
  for (auto until = std::chrono::steady_clock::now() + 5s;
       held.size() < 2 && std::chrono::steady_clock::now() < until;) {
    PVOID message = nullptr;
    if (capi.get(a, &message) != 0) {
      std::this_thread::sleep_for(1ms);
      continue;
    }
    auto* m = static_cast<const std::uint8_t*>(message);
    if (m[4] != cmd::data_b3 || m[5] != sub::ind)
      continue;
    capimsg::byte_view v(m, 30);
    std::uintptr_t address = sizeof(void*) == 8
                                 ? static_cast<std::uintptr_t>(capimsg::get_u64(v, 22))
                                 : capimsg::get_u32(v, 12);
    held.emplace_back(capimsg::get_u16(v, 18), reinterpret_cast<const std::uint8_t*>(address));
    sizes.push_back(capimsg::get_u16(v, 16));
  }
  ASSERT_EQ(sizes, (std::vector<std::size_t>{100, 2048}));
  EXPECT_TRUE(std::equal(sent[0].begin(), sent[0].end(), held[0].second));
  EXPECT_TRUE(std::equal(sent[1].begin(), sent[1].end(), held[1].second));
  for (auto [handle, data] : held)
    EXPECT_EQ(put(a, capimsg::build_data_b3_resp(0, 20, {ncci, handle})), 0u);
}

// The bridges this process has started.
std::vector<DWORD> bridges() {
  std::vector<DWORD> found;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
    if (entry.th32ParentProcessID == GetCurrentProcessId() &&
        _stricmp(entry.szExeFile, "capi-bridge.exe") == 0)
      found.push_back(entry.th32ProcessID);
  CloseHandle(snapshot);
  return found;
}

// A bridge killed mid-call ends the call as a lost line does, and a new
// bridge then serves the application under its ID; the other application
// goes on.
TEST_F(dll_test, a_bridge_killed_mid_call_ends_the_call_and_a_new_one_serves_it) {
  DWORD a = registered_application();
  std::uint32_t ncci = echo_call(a);
  // a's bridge is the only one yet.
  std::vector<DWORD> running = bridges();
  ASSERT_EQ(running.size(), 1u);
  HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, running[0]);
  ASSERT_NE(process, nullptr);
  TerminateProcess(process, 9);
  WaitForSingleObject(process, 5000);
  CloseHandle(process);
  DWORD b = registered_application();
  const bytes listen = capimsg::build_listen_req(0, 1, {1, 0, 1, 0, {}});
  EXPECT_EQ(put(a, listen), 0x1108u) << "a request that finds the bridge dead is refused";
  auto b3_down = capimsg::read_disconnect_b3_ind(expect(a, cmd::disconnect_b3, sub::ind));
  ASSERT_TRUE(b3_down);
  EXPECT_EQ(b3_down->ncci, ncci);
  EXPECT_EQ(b3_down->reason_b3, 0x3301u);
  auto down = capimsg::read_disconnect_ind(expect(a, cmd::disconnect, sub::ind));
  ASSERT_TRUE(down);
  EXPECT_EQ(down->plci, ncci & 0xFFFF);
  EXPECT_EQ(down->reason, 0x3301u);
  // Refused while the new bridge registers, then served.
  unsigned info = 0x1108;
  for (int tries = 0; tries < 200 && info == 0x1108; ++tries) {
    info = put(a, listen);
    if (info == 0x1108)
      Sleep(50);
  }
  ASSERT_EQ(info, 0u);
  expect(a, cmd::listen, sub::conf);
  ASSERT_EQ(put(b, listen), 0u);
  expect(b, cmd::listen, sub::conf);
}

} // namespace
