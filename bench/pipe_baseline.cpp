// SPDX-License-Identifier: MIT
// pipe-baseline: the fastest child that serves the bridge's framing. It takes
// in one read as many request frames as its input pipe holds and answers each
// with one write of a canned reply, so what it costs is the pipes' own limit.
//
// Usage: pipe-baseline [<letter>=<hex> ...]
// Each argument gives the reply to requests of that kind letter: <hex> is
// everything after the length field (info, data and extra). A kind without
// one is answered with the 8-byte reply of info 0. Ends at the end of input.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::vector<std::uint8_t> canned[256];

std::vector<std::uint8_t> reply_with(const std::string& hex) {
  std::vector<std::uint8_t> reply(4 + hex.size() / 2);
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    reply[4 + i / 2] = static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16));
  auto length = static_cast<std::uint32_t>(reply.size() - 4);
  for (int i = 0; i < 4; ++i)
    reply[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(length >> (8 * i));
  return reply;
}

void write_all(const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t wrote = write(STDOUT_FILENO, data, size);
    if (wrote < 0 && errno == EINTR)
      continue;
    if (wrote <= 0)
      return;
    data += wrote;
    size -= static_cast<std::size_t>(wrote);
  }
}

std::uint8_t input[1 << 16];

} // namespace

int main(int argc, char** argv) {
  for (auto& reply : canned)
    reply = reply_with("00000000");
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.size() >= 2 && arg[1] == '=')
      canned[static_cast<std::uint8_t>(arg[0])] = reply_with(arg.substr(2));
  }

  std::size_t start = 0, end = 0;
  // Body bytes of a frame larger than the buffer still to be passed over.
  std::size_t skip = 0;
  for (;;) {
    if (start == end)
      start = end = 0;
    else if (end == sizeof input) {
      std::memmove(input, input + start, end - start);
      end -= start;
      start = 0;
    }
    ssize_t got = read(STDIN_FILENO, input + end, sizeof input - end);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return 0;
    end += static_cast<std::size_t>(got);
    if (skip > 0) {
      std::size_t passed = end - start < skip ? end - start : skip;
      start += passed;
      skip -= passed;
    }
    while (end - start >= 5) {
      const std::uint8_t* at = input + start;
      std::size_t length = static_cast<std::size_t>(at[0] | at[1] << 8 | at[2] << 16) |
                           static_cast<std::size_t>(at[3]) << 24;
      if (length == 0 || length > 0x100000)
        return 0;
      const std::vector<std::uint8_t>& reply = canned[at[4]];
      if (4 + length > sizeof input) {
        write_all(reply.data(), reply.size());
        skip = 4 + length - (end - start);
        start = end;
        break;
      }
      if (end - start < 4 + length)
        break;
      write_all(reply.data(), reply.size());
      start += 4 + length;
    }
  }
}
