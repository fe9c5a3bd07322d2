// SPDX-License-Identifier: MIT
// The stand-in for libcapi20 used by the tests: the library's entry points,
// scripted by the file that FAKE_CAPI_SCRIPT names and logged, one line per
// call with every argument, to the file that FAKE_CAPI_LOG names.
//
// Script lines (# starts a comment):
//   <entry> <result> [<result> ...]   results of successive calls; the last repeats
//                                     (<entry>: isinstalled, register, release,
//                                     put_message, waitformessage, get_message,
//                                     get_profile)
//   appl_id <n> [<n> ...]             what successive capi20_register calls store
//                                     (default 1)
//   profile <hex>                     the 64 bytes capi20_get_profile fills in
//   message <hex> [data <hex>|- via <where>] [after <ms>]
//                                     an incoming message for capi20_get_message;
//                                     <where> says where its B3 data lives and which
//                                     field points at it: data64, data32 (memory below
//                                     4 GiB), unreadable64, unreadable32 (a no-access
//                                     page), straddle64 (ends inside a no-access page);
//                                     `after` makes it due <ms> milliseconds after the
//                                     latest successful capi20_register returned (before
//                                     any, never), instead of at once
//   message null [after <ms>]         capi20_get_message returns 0 and no message
//   confirm_data_b3                   every DATA_B3_REQ that capi20_put_message accepts
//                                     queues its DATA_B3_CONF (its NCCI and Data
//                                     handle, Info 0) behind the messages still queued
// Messages are handed out in order: one that is not yet due holds back those
// behind it, as a host's stream would.
//
// Without a result line, waitformessage answers 0 when a message is due and
// otherwise waits: a zero time-out returns 0x1104 at once; a longer one (or
// none, for ever) sleeps until the next message is due if that comes within
// it and returns 0, or sleeps it out and returns 0x1104. A scripted result
// is returned at once, without sleeping ("waitformessage 0" with
// "get_message 0x1104": a message is said to be there, and none comes, every
// time). The log shows the time-out given, as "<seconds> <microseconds>" or
// "null". get_message hands out the next message once it is due (0x1104
// until then), and everything else returns 0.
//
// capi20_fileno (Linux only; the Windows DLL has none) returns, for the
// registered application, a descriptor that polls readable exactly when a
// message is due (scripted waitformessage results aside), and -1 for any
// other application ID or when none is registered. It is a timerfd set to
// fire when the first queued message is due, set again at each call that
// changes the queue; poll it, never read it. capi20_release closes it.
//
// Its checks on the caller run whatever the log setting, so that the fuzzer,
// which keeps no log, is held to them too: capi20_put_message
// reads 2173 bytes of the caller's buffer whatever the message's length (a
// short buffer shows under AddressSanitizer) and ends the process when any of
// them past the message is not zero. Like Debian's library, it also ends the
// process on a DATA_B3_RESP whose Data handle belongs to no DATA_B3_IND it
// holds; it stops holding them at their DATA_B3_RESP, at DISCONNECT_B3_RESP
// for their NCCI and when it hands out DISCONNECT_IND for their PLCI. Each of
// these logs "abort: <why>", says why on standard error and aborts.
#include "fake_memory.hpp"
#include "fake_readiness.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#define FAKE_CAPI_EXPORT extern "C" __declspec(dllexport)
#else
#include <sys/time.h>
#define FAKE_CAPI_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

using clock_type = std::chrono::steady_clock;

struct incoming_message {
  std::vector<std::uint8_t> bytes;
  bool null = false;
  std::vector<std::uint8_t> data;
  std::string where;
  std::chrono::milliseconds after{0};
};

struct fake_state {
  std::map<std::string, std::deque<unsigned>, std::less<>> results;
  std::uint8_t profile[64];
  std::deque<incoming_message> incoming;
  bool confirm_data_b3 = false;
  // Messages handed out stay where they are for the rest of the process.
  std::vector<std::unique_ptr<std::uint8_t[]>> handed_out;
  // DATA_B3_IND handed out and not yet answered: their NCCI by Data handle.
  std::map<std::uint16_t, std::uint32_t> held;
  // The application of the latest successful capi20_register, until its
  // release, and when that registration returned.
  std::optional<unsigned> registered;
  std::optional<clock_type::time_point> registered_at;
  int readiness = -1;
};

std::vector<std::uint8_t> from_hex(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string to_hex(const void* data, std::size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    auto byte = static_cast<const std::uint8_t*>(data)[i];
    text += digits[byte >> 4];
    text += digits[byte & 15];
  }
  return text;
}

const char* log_path() {
  const char* named = std::getenv("FAKE_CAPI_LOG");
  return named != nullptr && *named != '\0' ? named : nullptr;
}

void log_line(const std::string& line) {
  if (std::FILE* log = std::fopen(log_path(), "ab")) {
    std::fputs((line + "\n").c_str(), log);
    std::fclose(log);
  }
}

} // namespace

// Builds the line only when there is a log: without one the entry points
// allocate nothing, so that the caller's own allocations can be counted.
#define FAKE_LOG(line)                                                                             \
  do {                                                                                             \
    if (log_path() != nullptr)                                                                     \
      log_line(line);                                                                              \
  } while (false)

namespace {

[[noreturn]] void fail(const std::string& why) {
  FAKE_LOG("abort: " + why);
  std::fprintf(stderr, "fake libcapi20: %s\n", why.c_str());
  std::abort();
}

incoming_message read_message_line(std::istringstream& line) {
  incoming_message m;
  std::string hex, keyword;
  line >> hex;
  m.null = hex == "null";
  if (!m.null)
    m.bytes = from_hex(hex);
  while (line >> keyword) {
    if (keyword == "data") {
      line >> hex >> keyword >> m.where;
      if (hex != "-")
        m.data = from_hex(hex);
    } else if (keyword == "after") {
      unsigned milliseconds = 0;
      line >> milliseconds;
      m.after = std::chrono::milliseconds(milliseconds);
    } else {
      fail("script: no \"" + keyword + "\" in a message line");
    }
  }
  return m;
}

void load_script(fake_state& s) {
  for (int i = 0; i < 64; ++i)
    s.profile[i] = static_cast<std::uint8_t>(0x40 + i);
  const char* path = std::getenv("FAKE_CAPI_SCRIPT");
  std::FILE* script = path != nullptr ? std::fopen(path, "rb") : nullptr;
  if (script == nullptr)
    return;
  static char buffer[1 << 16];
  while (std::fgets(buffer, sizeof buffer, script) != nullptr) {
    std::istringstream line(buffer);
    std::string word;
    if (!(line >> word) || word[0] == '#')
      continue;
    if (word == "profile") {
      std::string hex;
      line >> hex;
      auto bytes = from_hex(hex);
      std::memcpy(s.profile, bytes.data(), std::min<std::size_t>(bytes.size(), 64));
    } else if (word == "message") {
      s.incoming.push_back(read_message_line(line));
    } else if (word == "confirm_data_b3") {
      s.confirm_data_b3 = true;
    } else {
      std::string value;
      while (line >> value)
        s.results[word].push_back(static_cast<unsigned>(std::stoul(value, nullptr, 0)));
    }
  }
  std::fclose(script);
}

fake_state* loaded_state() {
  auto* s = new fake_state();
  FAKE_LOG("fake libcapi20 loaded");
  load_script(*s);
  return s;
}

fake_state& state() {
  static fake_state* loaded = loaded_state();
  return *loaded;
}

// The scripted result of the next call of `entry`, if the script has one.
std::optional<unsigned> scripted_result(const char* entry) {
  auto found = state().results.find(entry);
  if (found == state().results.end() || found->second.empty())
    return std::nullopt;
  unsigned result = found->second.front();
  if (found->second.size() > 1)
    found->second.pop_front();
  return result;
}

unsigned next_result(const char* entry, unsigned otherwise) {
  return scripted_result(entry).value_or(otherwise);
}

// When the first queued message is due (a time already past for one without
// `after`); empty when none is queued or it waits for a registration.
std::optional<clock_type::time_point> next_due() {
  const fake_state& s = state();
  if (s.incoming.empty())
    return std::nullopt;
  if (s.incoming.front().after.count() == 0)
    return clock_type::time_point{};
  if (!s.registered_at)
    return std::nullopt;
  return *s.registered_at + s.incoming.front().after;
}

[[maybe_unused]] bool message_due() {
  auto due = next_due();
  return due && *due <= clock_type::now();
}

// Sleeps until `when` has passed by the clock that tells due from not due:
// a sleep on Windows, counted in milliseconds, may end a little early.
[[maybe_unused]] void sleep_until(clock_type::time_point when) {
  while (clock_type::now() < when)
    std::this_thread::sleep_until(when);
}

// Called after every change to the queue or the registration.
void update_readiness() {
  fake_readiness_set(state().readiness, next_due());
}

void put_le(std::uint8_t* at, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i)
    at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t get_le(const std::uint8_t* at, int width) {
  std::uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i)
    value = value << 8 | at[i];
  return value;
}

// Places a message's B3 data where the script says and points the message at it.
[[maybe_unused]] void place_data(incoming_message& m, std::uint8_t* message) {
  const std::string& w = m.where;
  std::uint8_t* data = nullptr;
  if (w == "data64")
    data = fake_memory_readable(m.data.size(), false);
  else if (w == "data32")
    data = fake_memory_readable(m.data.size(), true);
  else if (w == "straddle64")
    data = fake_memory_straddling(m.data.size());
  else
    data = fake_memory_unreadable(w == "unreadable32");
  std::size_t readable = 0;
  if (w == "data64" || w == "data32")
    readable = m.data.size();
  else if (w == "straddle64")
    readable = std::min(m.data.size(), fake_memory_straddle_readable);
  if (readable != 0)
    std::memcpy(data, m.data.data(), readable);
  bool wide = w.ends_with("64");
  put_le(message + 12, wide ? 0 : reinterpret_cast<std::uintptr_t>(data), 4);
  if (wide)
    put_le(message + 22, reinterpret_cast<std::uintptr_t>(data), 8);
}

template <typename Match> void drop_held(Match matches) {
  std::erase_if(state().held, [&](const auto& entry) { return matches(entry.second); });
}

// The DATA_B3_CONF a host sends for an accepted DATA_B3_REQ.
[[maybe_unused]] incoming_message confirmation_of(const std::uint8_t* request) {
  incoming_message conf;
  conf.bytes.assign(16, 0);
  put_le(conf.bytes.data(), 16, 2);
  std::memcpy(conf.bytes.data() + 2, request + 2, 2);
  conf.bytes[4] = 0x86;
  conf.bytes[5] = 0x81;
  std::memcpy(conf.bytes.data() + 6, request + 6, 6);
  std::memcpy(conf.bytes.data() + 12, request + 18, 2);
  return conf;
}

} // namespace

// A build defining FAKE_CAPI_OMIT_<entry point> lacks that entry point.

// Not part of the library: starts the script again from its first line and
// gives back all memory handed out, for drivers that run many sessions in one
// process.
FAKE_CAPI_EXPORT void fake_capi_reset() {
  fake_state& s = state();
  fake_readiness_close(s.readiness);
  s = fake_state{};
  fake_memory_release_all();
  load_script(s);
}

#if !defined(FAKE_CAPI_OMIT_capi20_isinstalled)
FAKE_CAPI_EXPORT unsigned capi20_isinstalled() {
  FAKE_LOG("capi20_isinstalled");
  return next_result("isinstalled", 0);
}
#endif

#if !defined(FAKE_CAPI_OMIT_capi20ext_set_driver)
FAKE_CAPI_EXPORT void capi20ext_set_driver(char* driver) {
  FAKE_LOG("capi20ext_set_driver " + std::string(driver));
}
#endif

#if !defined(FAKE_CAPI_OMIT_capi20ext_set_host)
FAKE_CAPI_EXPORT void capi20ext_set_host(char* host) {
  FAKE_LOG("capi20ext_set_host " + to_hex(host, std::strlen(host)));
}
#endif

#if !defined(FAKE_CAPI_OMIT_capi20ext_set_port)
FAKE_CAPI_EXPORT void capi20ext_set_port(int port) {
  FAKE_LOG("capi20ext_set_port " + std::to_string(port));
}
#endif

#if !defined(FAKE_CAPI_OMIT_capi20_register)
FAKE_CAPI_EXPORT unsigned capi20_register(unsigned max_logical_connections,
                                          unsigned max_b_data_blocks, unsigned max_b_data_length,
                                          unsigned* appl_id) {
  FAKE_LOG("capi20_register " + std::to_string(max_logical_connections) + " " +
           std::to_string(max_b_data_blocks) + " " + std::to_string(max_b_data_length));
  *appl_id = next_result("appl_id", 1);
  unsigned result = next_result("register", 0);
  if (result == 0) {
    fake_state& s = state();
    s.registered = *appl_id;
    if (s.readiness < 0)
      s.readiness = fake_readiness_open();
    s.registered_at = clock_type::now();
    update_readiness();
  }
  return result;
}
#endif

#if !defined(FAKE_CAPI_OMIT_capi20_release)
FAKE_CAPI_EXPORT unsigned capi20_release(unsigned appl_id) {
  FAKE_LOG("capi20_release " + std::to_string(appl_id));
  fake_state& s = state();
  if (s.registered == appl_id) {
    s.registered.reset();
    fake_readiness_close(s.readiness);
    s.readiness = -1;
  }
  return next_result("release", 0);
}
#endif

#if !defined(FAKE_CAPI_OMIT_capi20_put_message)
FAKE_CAPI_EXPORT unsigned capi20_put_message(unsigned appl_id, unsigned char* message) {
  // Like Debian's library, copy a full send buffer's worth of the message
  // whatever its length.
  constexpr std::size_t send_buffer_size = 2173;
  static std::uint8_t send_buffer[send_buffer_size];
  std::memcpy(send_buffer, message, send_buffer_size);
  std::size_t length = get_le(message, 2);
  // The caller hands over the message followed by zeros: nothing of an
  // earlier message, or of data copied behind it, may show through.
  auto stale = std::count_if(send_buffer + std::min(length, send_buffer_size),
                             send_buffer + send_buffer_size, [](std::uint8_t b) { return b != 0; });
  if (stale != 0)
    fail("capi20_put_message: " + std::to_string(stale) + " bytes past the message not zero");

  bool data_b3_req = message[4] == 0x86 && message[5] == 0x80;
  // The bytes the library would send: through Data64 when there is one,
  // otherwise from right after the message.
  std::size_t data_length = data_b3_req ? get_le(message + 16, 2) : 0;
  std::uint64_t data64 = data_b3_req && length >= 30 ? get_le(message + 22, 8) : 0;
  const auto* data = data64 != 0 ? reinterpret_cast<const std::uint8_t*>(data64) : message + length;
  FAKE_LOG("capi20_put_message " + std::to_string(appl_id) + " " + to_hex(message, length) +
           (data_b3_req ? " data " + to_hex(data, data_length) : std::string()));
  if (data_b3_req) {
    // Debian's library copies the data behind the message in the caller's
    // buffer and clears the 32-bit Data field.
    std::memmove(message + length, data, data_length);
    put_le(message + 12, 0, 4);
  }
  fake_state& s = state();
  if (message[4] == 0x86 && message[5] == 0x83) {
    auto handle = static_cast<std::uint16_t>(get_le(message + 12, 2));
    if (s.held.erase(handle) == 0)
      fail("DATA_B3_RESP for Data handle " + std::to_string(handle) + ", not held");
  }
  if (message[4] == 0x84 && message[5] == 0x83) {
    auto ncci = static_cast<std::uint32_t>(get_le(message + 8, 4));
    drop_held([ncci](std::uint32_t held) { return held == ncci; });
  }
  unsigned result = next_result("put_message", 0);
  if (result == 0 && s.confirm_data_b3 && data_b3_req) {
    s.incoming.push_back(confirmation_of(message));
    update_readiness();
  }
  return result;
}
#endif

#if !defined(FAKE_CAPI_OMIT_capi20_get_message)
FAKE_CAPI_EXPORT unsigned capi20_get_message(unsigned appl_id, unsigned char** message) {
  FAKE_LOG("capi20_get_message " + std::to_string(appl_id));
  fake_state& s = state();
  bool due = message_due();
  unsigned result = next_result("get_message", due ? 0 : 0x1104);
  if (result != 0 || !due)
    return result;
  incoming_message m = std::move(s.incoming.front());
  s.incoming.pop_front();
  update_readiness();
  if (m.null)
    return 0;
  // Room for the fields a short message is still read at, as in a real
  // library's message buffer.
  auto copy = std::make_unique<std::uint8_t[]>(m.bytes.size() + 64);
  std::memcpy(copy.get(), m.bytes.data(), m.bytes.size());
  if (!m.where.empty())
    place_data(m, copy.get());
  std::uint8_t* got = copy.get();
  if (got[4] == 0x86 && got[5] == 0x82)
    s.held[static_cast<std::uint16_t>(get_le(got + 18, 2))] =
        static_cast<std::uint32_t>(get_le(got + 8, 4));
  if (got[4] == 0x04 && got[5] == 0x82) {
    auto plci = static_cast<std::uint32_t>(get_le(got + 8, 4));
    drop_held([plci](std::uint32_t held) { return (held & 0xFFFF) == plci; });
  }
  *message = copy.get();
  s.handed_out.push_back(std::move(copy));
  return 0;
}
#endif

#if !defined(FAKE_CAPI_OMIT_capi20_waitformessage)
FAKE_CAPI_EXPORT unsigned capi20_waitformessage(unsigned appl_id, timeval* timeout) {
  FAKE_LOG("capi20_waitformessage " + std::to_string(appl_id) + " " +
           (timeout == nullptr
                ? std::string("null")
                : std::to_string(timeout->tv_sec) + " " + std::to_string(timeout->tv_usec)));
  std::optional<clock_type::time_point> deadline;
  if (timeout != nullptr) {
    deadline = clock_type::now() + std::chrono::seconds(timeout->tv_sec) +
               std::chrono::microseconds(timeout->tv_usec);
    // select() on Linux writes the time left back into the record; a caller
    // must not count on it staying as it was.
    *timeout = {7, 7};
  }
  if (auto scripted = scripted_result("waitformessage"))
    return *scripted;
  auto due = next_due();
  if (due && (!deadline || *due <= *deadline)) {
    sleep_until(*due);
    return 0;
  }
  if (!deadline) {
    // Nothing will ever come: the real library would block for good.
    for (;;)
      std::this_thread::sleep_for(std::chrono::hours(1));
  }
  sleep_until(*deadline);
  return 0x1104;
}
#endif

#if !defined(FAKE_CAPI_OMIT_capi20_get_profile)
FAKE_CAPI_EXPORT unsigned capi20_get_profile(unsigned controller, unsigned char* profile) {
  FAKE_LOG("capi20_get_profile " + std::to_string(controller));
  std::memcpy(profile, state().profile, 64);
  return next_result("get_profile", 0);
}
#endif

// Debian's library has it; the Windows DLL does not.
#if !defined(_WIN32) && !defined(FAKE_CAPI_OMIT_capi20_fileno)
FAKE_CAPI_EXPORT int capi20_fileno(unsigned appl_id) {
  FAKE_LOG("capi20_fileno " + std::to_string(appl_id));
  fake_state& s = state();
  if (s.registered != appl_id)
    return -1;
  update_readiness();
  return s.readiness;
}
#endif
