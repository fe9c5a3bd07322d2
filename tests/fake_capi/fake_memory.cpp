// SPDX-License-Identifier: MIT
// Page-level memory for the stand-in library: mmap on POSIX, VirtualAlloc on
// Windows.
#include "fake_memory.hpp"

#include <cstdlib>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

constexpr std::size_t page = 65536; // a multiple of every page size in use

enum class access { read_write, none };

std::vector<std::pair<void*, std::size_t>> mapped;

std::uint8_t* map_pages_once(std::size_t size, bool low, access how);

std::uint8_t* map_pages(std::size_t size, bool low, access how) {
  std::uint8_t* block = map_pages_once(size, low, how);
  mapped.emplace_back(block, size);
  return block;
}

std::uint8_t* map_pages_once(std::size_t size, bool low, access how) {
#ifdef _WIN32
  DWORD protect = how == access::none ? PAGE_NOACCESS : PAGE_READWRITE;
  if (!low)
    return static_cast<std::uint8_t*>(
        VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, protect));
  for (std::uintptr_t at = 0x10000000; at < 0xF0000000; at += page) {
    void* got = VirtualAlloc(reinterpret_cast<void*>(at), size, MEM_RESERVE | MEM_COMMIT, protect);
    if (got != nullptr)
      return static_cast<std::uint8_t*>(got);
  }
  std::abort();
#else
  int flags = MAP_PRIVATE | MAP_ANONYMOUS | (low ? MAP_32BIT : 0);
  void* got =
      mmap(nullptr, size, how == access::none ? PROT_NONE : PROT_READ | PROT_WRITE, flags, -1, 0);
  if (got == MAP_FAILED)
    std::abort();
  return static_cast<std::uint8_t*>(got);
#endif
}

// Takes away all access from the pages at `address`.
void protect_none(std::uint8_t* address, std::size_t size) {
#ifdef _WIN32
  DWORD old;
  VirtualProtect(address, size, PAGE_NOACCESS, &old);
#else
  mprotect(address, size, PROT_NONE);
#endif
}

std::size_t rounded_up(std::size_t size) {
  return (size + page - 1) / page * page + page;
}

} // namespace

std::uint8_t* fake_memory_readable(std::size_t size, bool low) {
  return map_pages(rounded_up(size), low, access::read_write);
}

std::uint8_t* fake_memory_unreadable(bool low) {
  return map_pages(page, low, access::none) + 100;
}

std::uint8_t* fake_memory_straddling(std::size_t size) {
  std::uint8_t* block = map_pages(page + rounded_up(size), false, access::read_write);
  protect_none(block + page, rounded_up(size));
  return block + page - fake_memory_straddle_readable;
}

void fake_memory_release_all() {
  for (auto [block, size] : mapped) {
#ifdef _WIN32
    (void)size;
    VirtualFree(block, 0, MEM_RELEASE);
#else
    munmap(block, size);
#endif
  }
  mapped.clear();
}
