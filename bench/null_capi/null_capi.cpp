// SPDX-License-Identifier: MIT
// A null libcapi20 for the benchmark, with the library's file name: every
// call answers at once and allocates nothing, so that a run measures the
// bridge and not a library, for as long as it runs.
//
// Scripted by the file that NULL_CAPI_SCRIPT names, read at the first call:
//   confirm_data_b3                 every DATA_B3_REQ is answered by a DATA_B3_CONF
//                                   (its NCCI and Data handle, Info 0), in order;
//                                   0x1103 when 64 wait
//   data_b3_ind_forever <ncci> <n>  an endless stream of DATA_B3_IND for <ncci>
//                                   carrying <n> bytes (at most 2048) through Data64,
//                                   Data handles 0..6 in turn; the next waits while
//                                   its handle is unanswered
// Without them Get finds nothing (0x1104). Everything else returns 0; the
// B3 data of a DATA_B3_REQ is never read.
#include "capi_bridge/capimsg.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/time.h>

#define NULL_CAPI_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr std::uint16_t ind_handles = 7;
constexpr std::size_t conf_slots = 64;

struct pending_conf {
  std::uint32_t ncci;
  std::uint16_t data_handle;
};

struct null_state {
  bool confirm_data_b3 = false;
  pending_conf confirmations[conf_slots];
  std::size_t first = 0;
  std::size_t count = 0;

  bool ind_forever = false;
  std::uint32_t ind_ncci = 0;
  std::uint16_t ind_length = 0;
  std::uint16_t next_handle = 0;
  bool held[ind_handles] = {};
};

// Like the real library's message buffer, overwritten by the next Get.
alignas(8) std::uint8_t message_buffer[64];
alignas(8) std::uint8_t data_buffer[2048];

void put_le(std::uint8_t* at, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i)
    at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void load_script(null_state& s) {
  const char* path = std::getenv("NULL_CAPI_SCRIPT");
  std::FILE* script = path != nullptr ? std::fopen(path, "r") : nullptr;
  if (script == nullptr)
    return;
  char word[32];
  while (std::fscanf(script, "%31s", word) == 1) {
    if (std::strcmp(word, "confirm_data_b3") == 0) {
      s.confirm_data_b3 = true;
    } else if (std::strcmp(word, "data_b3_ind_forever") == 0) {
      long ncci = 0;
      unsigned length = 0;
      if (std::fscanf(script, "%li %u", &ncci, &length) != 2)
        break;
      s.ind_forever = true;
      s.ind_ncci = static_cast<std::uint32_t>(ncci);
      s.ind_length = static_cast<std::uint16_t>(length < 2048 ? length : 2048);
    }
  }
  std::fclose(script);
  for (std::size_t i = 0; i < sizeof data_buffer; ++i)
    data_buffer[i] = static_cast<std::uint8_t>(i * 7 + 1);
}

null_state& state() {
  static null_state* loaded = [] {
    auto* s = new null_state();
    load_script(*s);
    return s;
  }();
  return *loaded;
}

bool message_waiting() {
  const null_state& s = state();
  return s.count > 0 || (s.ind_forever && !s.held[s.next_handle]);
}

} // namespace

NULL_CAPI_EXPORT unsigned capi20_isinstalled() {
  return 0;
}
NULL_CAPI_EXPORT void capi20ext_set_driver(char*) {}
NULL_CAPI_EXPORT void capi20ext_set_host(char*) {}
NULL_CAPI_EXPORT void capi20ext_set_port(int) {}

NULL_CAPI_EXPORT unsigned capi20_register(unsigned, unsigned, unsigned, unsigned* appl_id) {
  state();
  *appl_id = 1;
  return 0;
}

NULL_CAPI_EXPORT unsigned capi20_release(unsigned) {
  return 0;
}

NULL_CAPI_EXPORT unsigned capi20_put_message(unsigned, unsigned char* message) {
  null_state& s = state();
  // The bridge passes DATA_B3_REQ of 30 bytes and DATA_B3_RESP of 14 at least.
  capimsg::byte_view m(message, 22);
  if (message[4] == 0x86 && message[5] == 0x80 && s.confirm_data_b3) {
    if (s.count == conf_slots)
      return 0x1103;
    s.confirmations[(s.first + s.count++) % conf_slots] = {capimsg::get_u32(m, 8),
                                                           capimsg::get_u16(m, 18)};
  } else if (message[4] == 0x86 && message[5] == 0x83) {
    auto handle = capimsg::get_u16(m, 12);
    if (handle < ind_handles)
      s.held[handle] = false;
  }
  return 0;
}

NULL_CAPI_EXPORT unsigned capi20_get_message(unsigned, unsigned char** message) {
  if (!message_waiting())
    return 0x1104;
  null_state& s = state();
  std::uint8_t* m = message_buffer;
  std::memset(m, 0, sizeof message_buffer);
  put_le(m + 2, 1, 2);
  m[4] = 0x86;
  if (s.count > 0) {
    pending_conf c = s.confirmations[s.first];
    s.first = (s.first + 1) % conf_slots;
    --s.count;
    put_le(m, 16, 2);
    m[5] = 0x81;
    put_le(m + 8, c.ncci, 4);
    put_le(m + 12, c.data_handle, 2);
  } else {
    std::uint16_t handle = s.next_handle;
    s.next_handle = static_cast<std::uint16_t>((handle + 1) % ind_handles);
    s.held[handle] = true;
    put_le(m, 30, 2);
    m[5] = 0x82;
    put_le(m + 8, s.ind_ncci, 4);
    put_le(m + 16, s.ind_length, 2);
    put_le(m + 18, handle, 2);
    put_le(m + 22, reinterpret_cast<std::uintptr_t>(data_buffer), 8);
  }
  *message = m;
  return 0;
}

NULL_CAPI_EXPORT unsigned capi20_waitformessage(unsigned, timeval*) {
  return message_waiting() ? 0 : 0x1104;
}

NULL_CAPI_EXPORT unsigned capi20_get_profile(unsigned, unsigned char* profile) {
  std::memset(profile, 0, 64);
  profile[0] = 1; // one controller
  return 0;
}

// Debian's library has it; a bridge that finds it missing asks dlsym on
// every Open, and a failed lookup allocates its error message. No socket.
NULL_CAPI_EXPORT int capi20_fileno(unsigned) {
  return -1;
}
