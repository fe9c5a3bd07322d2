// SPDX-License-Identifier: MIT
// libcapi-bridge-preload.so: libcapi20's entry points, answered through
// bridges, for a program started by capi-bridge-run. Preloaded, they take
// the place of the library's own; the library's message helpers, which call
// them, come along.
#include "capi20_interface.hpp"
#include "program_check.hpp"

#include <capi20.h>

#include <dlfcn.h>
#include <sys/eventfd.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace ci = capi_interface;

namespace {

// This library's own file name, as the dynamic linker loaded it.
std::string own_path() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&own_path), &info) == 0 || info.dli_fname == nullptr)
    return {};
  return info.dli_fname;
}

std::string base_name(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

// LD_PRELOAD without this library: the bridges load the real one, and must
// not load this in its place. Other preloaded libraries stay.
std::string preload_without_this(const char* preload, const std::string& self) {
  std::string kept;
  std::string all = preload != nullptr ? preload : "";
  std::size_t at = 0;
  while (at <= all.size()) {
    std::size_t end = all.find_first_of(": ", at);
    if (end == std::string::npos)
      end = all.size();
    std::string entry = all.substr(at, end - at);
    if (!entry.empty() && entry != self && base_name(entry) != base_name(self))
      kept += (kept.empty() ? "" : ":") + entry;
    at = end + 1;
  }
  return kept;
}

void configure_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    ci::settings s;
    const char* bridge = std::getenv("CAPI_BRIDGE_EXECUTABLE");
    s.bridge.command = {bridge != nullptr && *bridge != '\0' ? bridge : CAPI_BRIDGE_INSTALLED};
    if (const char* stderr_path = std::getenv("CAPI_BRIDGE_STDERR"))
      s.bridge.stderr_path = stderr_path;
    s.log_name = "capi-bridge-run";
    s.verbose = std::getenv("CAPI_BRIDGE_VERBOSE") != nullptr;
    const char* reconnect = std::getenv("CAPI_BRIDGE_RECONNECT");
    s.reconnect = reconnect == nullptr || std::string(reconnect) != "0";
    std::string kept = preload_without_this(std::getenv("LD_PRELOAD"), own_path());
    if (kept.empty())
      s.bridge.unset_environment = {"LD_PRELOAD"};
    else
      s.bridge.environment = {{"LD_PRELOAD", kept}};
    // The program may reap every child it has, and wait for each: the
    // bridges are none of its business.
    s.bridge.hidden_from_wait = true;
    s.pointers = ci::data_pointer::libcapi20_64;
    ci::configure(s);
  });
}

using dlopen_entry = void* (*)(const char*, int);

// What a program that opens libcapi20 at run time gets instead: a library
// that needs this one and then the real one, so that a lookup in it finds
// the entry points here and the library's message helpers there. It lies
// beside this library. Empty for every other name.
const char* opened_instead(const char* file) {
  static const std::string shim = [] {
    std::string self = own_path();
    return self.substr(0, self.rfind('/') + 1) + "libcapi-bridge-opened.so";
  }();
  return file != nullptr && ci::is_libcapi20(file) ? shim.c_str() : nullptr;
}

dlopen_entry real_dlopen() {
  static const auto entry = reinterpret_cast<dlopen_entry>(dlsym(RTLD_NEXT, "dlopen"));
  return entry;
}

// capi20_fileno's descriptors: an eventfd per application, readable while a
// message waits for the program.
std::mutex descriptors_mutex;
std::map<unsigned, int> descriptors;

void signal_waiting(void* context, bool now) {
  int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(context));
  std::uint64_t value = 1;
  if (now) {
    // One count is enough: the descriptor is readable from the first.
    std::uint64_t ignored = 0;
    if (read(fd, &ignored, sizeof ignored) < 0) {
    }
    if (write(fd, &value, sizeof value) < 0) {
    }
  } else if (read(fd, &value, sizeof value) < 0) {
  }
}

} // namespace

// Every entry point answers with an info value (or the library's failure
// value) whatever happens inside: nothing thrown reaches the program.
extern "C" {

// Programs that load libcapi20 at run time (libcapi20dyn.a, Python's
// ctypes, plug-in loaders) would otherwise reach the library's own entry
// points through dlsym. Every other name goes on to the real dlopen as a
// tail call, so that it still sees the program's own caller (whose RUNPATH
// and $ORIGIN a bare name is searched with).
void* dlopen(const char* file, int mode) {
  const char* instead = opened_instead(file);
  return real_dlopen()(instead != nullptr ? instead : file, mode);
}

unsigned capi20_isinstalled(void) {
  return ci::answer_or<unsigned>(ci::info_os_resource_error, [] {
    configure_once();
    return ci::installed();
  });
}

unsigned capi20_register(unsigned MaxLogicalConnection, unsigned MaxBDataBlocks,
                         unsigned MaxBDataLen, unsigned* ApplIDp) {
  if (ApplIDp == nullptr)
    return ci::info_os_resource_error;
  *ApplIDp = 0;
  return ci::answer_or<unsigned>(ci::info_os_resource_error, [&] {
    configure_once();
    return ci::register_application(MaxLogicalConnection, MaxBDataBlocks, MaxBDataLen, *ApplIDp);
  });
}

unsigned capi20_release(unsigned ApplID) {
  return ci::answer_or<unsigned>(ci::info_host_gone, [&] {
    configure_once();
    unsigned result = ci::release(ApplID);
    std::lock_guard lock(descriptors_mutex);
    if (auto it = descriptors.find(ApplID); it != descriptors.end()) {
      close(it->second);
      descriptors.erase(it);
    }
    return result;
  });
}

unsigned capi20_put_message(unsigned ApplID, unsigned char* Msg) {
  return ci::answer_or<unsigned>(ci::info_host_gone, [&] {
    configure_once();
    return ci::put_message(ApplID, Msg);
  });
}

unsigned capi20_get_message(unsigned ApplID, unsigned char** Buf) {
  return ci::answer_or<unsigned>(ci::info_host_gone, [&] {
    configure_once();
    return ci::get_message(ApplID, Buf);
  });
}

unsigned capi20_waitformessage(unsigned ApplID, struct timeval* TimeOut) {
  return ci::answer_or<unsigned>(ci::info_host_gone, [&] {
    configure_once();
    if (TimeOut == nullptr)
      return ci::wait_for_message(ApplID, std::nullopt);
    auto asked =
        std::chrono::milliseconds(TimeOut->tv_sec * 1000 + (TimeOut->tv_usec + 999) / 1000);
    auto start = std::chrono::steady_clock::now();
    unsigned result = ci::wait_for_message(ApplID, asked);
    // As select does on Linux, the time not waited is written back.
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        asked - (std::chrono::steady_clock::now() - start));
    if (left.count() < 0)
      left = std::chrono::microseconds(0);
    TimeOut->tv_sec = static_cast<time_t>(left.count() / 1000000);
    TimeOut->tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
    return result;
  });
}

// Without a buffer, the library's failure: NULL.
unsigned char* capi20_get_manufacturer(unsigned, unsigned char* Buf) {
  return ci::answer_or<unsigned char*>(nullptr, [&]() -> unsigned char* {
    configure_once();
    if (Buf == nullptr || ci::installed() != 0)
      return nullptr;
    std::strcpy(reinterpret_cast<char*>(Buf), ci::manufacturer());
    return Buf;
  });
}

unsigned char* capi20_get_version(unsigned, unsigned char* Buf) {
  return ci::answer_or<unsigned char*>(nullptr, [&]() -> unsigned char* {
    configure_once();
    if (Buf == nullptr || ci::installed() != 0)
      return nullptr;
    unsigned four[4];
    ci::version(four);
    std::memcpy(Buf, four, sizeof four);
    return Buf;
  });
}

unsigned char* capi20_get_serial_number(unsigned, unsigned char* Buf) {
  return ci::answer_or<unsigned char*>(nullptr, [&]() -> unsigned char* {
    configure_once();
    if (Buf == nullptr || ci::installed() != 0)
      return nullptr;
    std::strcpy(reinterpret_cast<char*>(Buf), ci::serial_number());
    return Buf;
  });
}

unsigned capi20_get_profile(unsigned Controller, unsigned char* Buf) {
  return ci::answer_or<unsigned>(ci::info_host_gone, [&] {
    configure_once();
    return ci::get_profile(Controller, Buf);
  });
}

int capi20_fileno(unsigned ApplID) {
  return ci::answer_or(-1, [&] {
    configure_once();
    std::lock_guard lock(descriptors_mutex);
    if (auto it = descriptors.find(ApplID); it != descriptors.end())
      return it->second;
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0)
      return -1;
    // In the table first: once a pump writes to the descriptor, nothing may
    // fail and close it.
    bool watched = false;
    try {
      descriptors[ApplID] = fd;
      watched = ci::watch(ApplID, signal_waiting,
                          reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    } catch (...) {
      watched = false;
    }
    if (!watched) {
      descriptors.erase(ApplID);
      close(fd);
      return -1;
    }
    return fd;
  });
}

void capi20ext_set_driver(char* pnDriver) {
  ci::answer_or(0, [&] {
    ci::set_driver(pnDriver != nullptr ? pnDriver : "");
    return 0;
  });
}

void capi20ext_set_host(char* pnHostName) {
  ci::answer_or(0, [&] {
    ci::set_host(pnHostName != nullptr ? pnHostName : "");
    return 0;
  });
}

void capi20ext_set_port(int nPortNumber) {
  ci::answer_or(0, [&] {
    ci::set_port(nPortNumber);
    return 0;
  });
}

// The library hands out its own static buffers; so does this.
char* capi20ext_get_driver(void) {
  static char text[1024];
  return ci::answer_or(text, [] {
    std::snprintf(text, sizeof text, "%s", ci::driver().c_str());
    return text;
  });
}

char* capi20ext_get_host(void) {
  static char text[1024];
  return ci::answer_or(text, [] {
    std::snprintf(text, sizeof text, "%s", ci::host().c_str());
    return text;
  });
}

int capi20ext_get_port(void) {
  return ci::answer_or(0, [] { return ci::port(); });
}

} // extern "C"
