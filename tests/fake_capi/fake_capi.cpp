// The stand-in for libcapi20 used by the tests: the library's ten entry
// points, scripted by the file that FAKE_CAPI_SCRIPT names and logged, one
// line per call with every argument, to the file that FAKE_CAPI_LOG names.
//
// Script lines (# starts a comment):
//   <entry> <result> [<result> ...]   results of successive calls; the last repeats
//                                     (<entry>: isinstalled, register, release,
//                                     put_message, waitformessage, get_message,
//                                     get_profile)
//   appl_id <n> [<n> ...]             what successive capi20_register calls store
//                                     (default 1)
//   profile <hex>                     the 64 bytes capi20_get_profile fills in
//   message <hex> [data <hex>|- via <where>]
//                                     an incoming message for capi20_get_message;
//                                     <where> says where its B3 data lives and which
//                                     field points at it: data64, data32 (memory below
//                                     4 GiB), unreadable64, unreadable32 (a no-access
//                                     page), straddle64 (ends inside a no-access page)
//   message null                      capi20_get_message returns 0 and no message
//   confirm_data_b3                   every DATA_B3_REQ that capi20_put_message accepts
//                                     is answered by a DATA_B3_CONF (its NCCI and Data
//                                     handle, Info 0), handed out after the scripted
//                                     messages
//   data_b3_ind_forever <ncci> <n>    once nothing else waits, an endless stream of
//                                     DATA_B3_IND for <ncci> carrying <n> bytes (at most
//                                     2048) through Data64, Data handles 0..6 in turn;
//                                     the next waits while its handle is unanswered
// The last two allocate nothing, so that a benchmark can run them for ever.
// Like Debian's library, it aborts the process on a DATA_B3_RESP whose Data
// handle belongs to no DATA_B3_IND it holds; it stops holding them at their
// DATA_B3_RESP, at DISCONNECT_B3_RESP for their NCCI and when it hands out
// DISCONNECT_IND for their PLCI.
// Without a result line waitformessage answers 0 while a message is queued and
// 0x1104 otherwise, get_message hands out the next message (0x1104 when none),
// and everything else returns 0.
#include "fake_memory.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#define FAKE_CAPI_EXPORT extern "C" __declspec(dllexport)
#else
#include <sys/time.h>
#define FAKE_CAPI_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

struct incoming_message {
  std::vector<std::uint8_t> bytes;
  bool null = false;
  std::vector<std::uint8_t> data;
  std::string where;
};

struct held_ind {
  std::uint32_t ncci;
  bool held;
};

struct pending_conf {
  std::uint32_t ncci;
  std::uint16_t data_handle;
};

struct fake_state {
  std::map<std::string, std::deque<unsigned>> results;
  std::uint8_t profile[64];
  std::deque<incoming_message> incoming;
  // Messages handed out stay where they are for the rest of the process.
  std::vector<std::unique_ptr<std::uint8_t[]>> handed_out;
  // DATA_B3_IND handed out and not yet answered, by Data handle; a fixed
  // table, so that handing one out allocates nothing.
  held_ind held[65536];
  // confirm_data_b3: DATA_B3_CONF waiting to be handed out, oldest first.
  bool confirm_data_b3 = false;
  pending_conf confirmations[1024];
  std::size_t confirmations_first = 0;
  std::size_t confirmations_count = 0;
  // data_b3_ind_forever.
  bool ind_forever = false;
  std::uint32_t ind_forever_ncci = 0;
  std::uint16_t ind_forever_length = 0;
  std::uint16_t ind_forever_next_handle = 0;
};

// What the endless modes hand out; like the real library's message buffer,
// each is overwritten by the next call.
alignas(8) std::uint8_t generated_message[64];
alignas(8) std::uint8_t generated_data[2048];

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

// Without a log the entry points allocate nothing, so that the caller's own
// allocations can be counted.
const char* log_path() {
  static const char* path = [] {
    const char* named = std::getenv("FAKE_CAPI_LOG");
    return named != nullptr && *named != '\0' ? named : nullptr;
  }();
  return path;
}

void log_line(const std::string& line) {
  if (std::FILE* log = std::fopen(log_path(), "ab")) {
    std::fputs((line + "\n").c_str(), log);
    std::fclose(log);
  }
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
      std::memcpy(s.profile, bytes.data(), bytes.size() < 64 ? bytes.size() : 64);
    } else if (word == "message") {
      incoming_message m;
      std::string hex, keyword;
      line >> hex;
      m.null = hex == "null";
      if (!m.null)
        m.bytes = from_hex(hex);
      if (line >> keyword && keyword == "data") {
        line >> hex >> keyword >> m.where;
        if (hex != "-")
          m.data = from_hex(hex);
      }
      s.incoming.push_back(std::move(m));
    } else if (word == "confirm_data_b3") {
      s.confirm_data_b3 = true;
    } else if (word == "data_b3_ind_forever") {
      std::string ncci;
      unsigned length = 0;
      line >> ncci >> length;
      s.ind_forever = true;
      s.ind_forever_ncci = static_cast<std::uint32_t>(std::stoul(ncci, nullptr, 0));
      s.ind_forever_length = static_cast<std::uint16_t>(length < 2048 ? length : 2048);
      for (std::size_t i = 0; i < sizeof generated_data; ++i)
        generated_data[i] = static_cast<std::uint8_t>(i * 7 + 1);
    } else {
      std::string value;
      while (line >> value)
        s.results[word].push_back(static_cast<unsigned>(std::stoul(value, nullptr, 0)));
    }
  }
  std::fclose(script);
}

__attribute__((noinline)) fake_state* loaded_state() {
  auto* s = new fake_state();
  if (log_path() != nullptr)
    log_line("fake libcapi20 loaded");
  load_script(*s);
  return s;
}

fake_state& state() {
  static fake_state* loaded = loaded_state();
  return *loaded;
}

__attribute__((noinline)) unsigned scripted_result(const char* entry, unsigned otherwise) {
  auto found = state().results.find(entry);
  if (found == state().results.end() || found->second.empty())
    return otherwise;
  unsigned result = found->second.front();
  if (found->second.size() > 1)
    found->second.pop_front();
  return result;
}

// The scripted result of the next call of `entry`, or `otherwise`.
unsigned next_result(const char* entry, unsigned otherwise) {
  return state().results.empty() ? otherwise : scripted_result(entry, otherwise);
}

void put_le(std::uint8_t* at, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i)
    at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

[[maybe_unused]] std::uint64_t get_le(const std::uint8_t* at, int width) {
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
  for (held_ind& h : state().held)
    if (h.held && matches(h.ncci))
      h.held = false;
}

// True when an endless mode has a message for capi20_get_message.
[[maybe_unused]] bool generated_waiting() {
  const fake_state& s = state();
  return s.confirmations_count > 0 || (s.ind_forever && !s.held[s.ind_forever_next_handle].held);
}

// The next message of the endless modes; generated_waiting() must be true.
[[maybe_unused]] std::uint8_t* next_generated() {
  fake_state& s = state();
  std::uint8_t* m = generated_message;
  std::memset(m, 0, sizeof generated_message);
  m[4] = 0x86;
  if (s.confirmations_count > 0) {
    pending_conf c = s.confirmations[s.confirmations_first];
    s.confirmations_first = (s.confirmations_first + 1) % std::size(s.confirmations);
    --s.confirmations_count;
    put_le(m, 16, 2);
    m[5] = 0x81;
    put_le(m + 8, c.ncci, 4);
    put_le(m + 12, c.data_handle, 2);
    return m;
  }
  std::uint16_t handle = s.ind_forever_next_handle;
  s.ind_forever_next_handle = static_cast<std::uint16_t>((handle + 1) % 7);
  put_le(m, 30, 2);
  m[5] = 0x82;
  put_le(m + 8, s.ind_forever_ncci, 4);
  put_le(m + 16, s.ind_forever_length, 2);
  put_le(m + 18, handle, 2);
  put_le(m + 22, reinterpret_cast<std::uintptr_t>(generated_data), 8);
  s.held[handle] = {s.ind_forever_ncci, true};
  return m;
}

} // namespace

// Builds the log line only when there is a log, out of line, so that an
// entry point without a log costs its caller next to nothing.
#define FAKE_LOG(line)                                                                             \
  do {                                                                                             \
    if (log_path() != nullptr)                                                                     \
      [&]() __attribute__((noinline)) {                                                            \
        log_line(line);                                                                            \
      }                                                                                            \
    ();                                                                                            \
  } while (false)

// A build defining FAKE_CAPI_OMIT_<entry point> lacks that entry point.

// Not part of the library: starts the script again from its first line and
// gives back all memory handed out, for drivers that run many sessions in one
// process.
FAKE_CAPI_EXPORT void fake_capi_reset() {
  fake_state& s = state();
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
  return next_result("register", 0);
}
#endif

#if !defined(FAKE_CAPI_OMIT_capi20_release)
FAKE_CAPI_EXPORT unsigned capi20_release(unsigned appl_id) {
  FAKE_LOG("capi20_release " + std::to_string(appl_id));
  return next_result("release", 0);
}
#endif

#if !defined(FAKE_CAPI_OMIT_capi20_put_message)
volatile unsigned put_message_sink;
constexpr std::size_t send_buffer_size = 2173;
unsigned char send_buffer[send_buffer_size];

FAKE_CAPI_EXPORT unsigned capi20_put_message(unsigned appl_id, unsigned char* message) {
  // Without a log, a message other than DATA_B3 and DISCONNECT_B3 has
  // nothing more to it than its result.
  if (log_path() == nullptr && message[4] != 0x86 && message[4] != 0x84)
    return next_result("put_message", 0);
  // Like Debian's library, copy a full send buffer's worth of the message
  // whatever its length, so that a caller's short buffer shows up under
  // AddressSanitizer or valgrind. The tests all keep a log; without one (a
  // benchmark) the stand-in answers at once and skips this check.
  if (log_path() != nullptr) {
    std::memcpy(send_buffer, message, send_buffer_size);
    put_message_sink = send_buffer[send_buffer_size - 1];
  }

  std::size_t length = get_le(message, 2);
  if (log_path() != nullptr) {
    // The caller hands over the message followed by zeros: nothing of an
    // earlier message, or of data copied behind it, may show through.
    std::size_t stale = 0;
    for (std::size_t i = length; i < send_buffer_size; ++i)
      stale += message[i] != 0 ? 1 : 0;
    if (stale != 0)
      log_line("capi20_put_message: " + std::to_string(stale) + " bytes past the message not zero");
  }
  std::string data_hex;
  if (message[4] == 0x86 && message[5] == 0x80) {
    // The bytes the library would send: through Data64 when there is one,
    // otherwise from right after the message.
    auto data_length = static_cast<std::size_t>(get_le(message + 16, 2));
    std::uint64_t data64 = length >= 30 ? get_le(message + 22, 8) : 0;
    const auto* data =
        data64 != 0 ? reinterpret_cast<const std::uint8_t*>(data64) : message + length;
    if (log_path() != nullptr)
      data_hex = " data " + to_hex(data, data_length);
    // Debian's library copies the data behind the message in the caller's
    // buffer and clears the 32-bit Data field.
    std::memmove(message + length, data, data_length);
    put_le(message + 12, 0, 4);
  }
  if (message[4] == 0x86 && message[5] == 0x83) {
    auto handle = static_cast<unsigned>(get_le(message + 12, 2));
    held_ind& h = state().held[handle];
    bool was_held = h.held;
    h.held = false;
    if (!was_held) {
      FAKE_LOG("abort: DATA_B3_RESP for Data handle " + std::to_string(handle) + ", not held");
      std::abort();
    }
  }
  if (message[4] == 0x84 && message[5] == 0x83) {
    auto ncci = static_cast<std::uint32_t>(get_le(message + 8, 4));
    drop_held([ncci](std::uint32_t held) { return held == ncci; });
  }
  FAKE_LOG("capi20_put_message " + std::to_string(appl_id) + " " + to_hex(message, length) +
           data_hex);
  unsigned result = next_result("put_message", 0);
  fake_state& s = state();
  if (result == 0 && s.confirm_data_b3 && message[4] == 0x86 && message[5] == 0x80) {
    if (s.confirmations_count == std::size(s.confirmations))
      return 0x1103;
    std::size_t at = (s.confirmations_first + s.confirmations_count++) % std::size(s.confirmations);
    s.confirmations[at] = {static_cast<std::uint32_t>(get_le(message + 8, 4)),
                           static_cast<std::uint16_t>(get_le(message + 18, 2))};
  }
  return result;
}
#endif

#if !defined(FAKE_CAPI_OMIT_capi20_get_message)
FAKE_CAPI_EXPORT unsigned capi20_get_message(unsigned appl_id, unsigned char** message) {
  FAKE_LOG("capi20_get_message " + std::to_string(appl_id));
  fake_state& s = state();
  unsigned result =
      next_result("get_message", s.incoming.empty() && !generated_waiting() ? 0x1104 : 0);
  if (result != 0)
    return result;
  if (s.incoming.empty()) {
    if (generated_waiting())
      *message = next_generated();
    return result;
  }
  incoming_message m = std::move(s.incoming.front());
  s.incoming.pop_front();
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
    s.held[get_le(got + 18, 2)] = {static_cast<std::uint32_t>(get_le(got + 8, 4)), true};
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
  // select() on Linux writes the time left back into the record; a caller
  // must not count on it staying zero.
  if (timeout != nullptr)
    *timeout = {7, 7};
  return next_result("waitformessage",
                     state().incoming.empty() && !generated_waiting() ? 0x1104 : 0);
}
#endif

#if !defined(FAKE_CAPI_OMIT_capi20_get_profile)
FAKE_CAPI_EXPORT unsigned capi20_get_profile(unsigned controller, unsigned char* profile) {
  FAKE_LOG("capi20_get_profile " + std::to_string(controller));
  std::memcpy(profile, state().profile, 64);
  return next_result("get_profile", 0);
}
#endif
