// SPDX-License-Identifier: MIT
// The child that the child_process tests start, the same program on every
// OS. Its arguments are steps, done in order:
//   out TEXT   writes TEXT to standard output at once
//   err TEXT   writes TEXT to standard error at once
//   pause MS   sleeps MS milliseconds
//   env NAME   writes NAME's value, or "unset", and a newline
//   args ...   writes each argument after it followed by a NUL byte, and ends
//   cat        copies standard input to standard output until the input ends
//   flood      writes to standard output until a write fails, then exits 3
//   exit N     ends with exit status N
//   abandon    starts this program again through child_process, pausing
//              30 s, writes that child's process ID and a newline, and ends
//              at once, leaving that child to what the OS does with it
// Running out of steps ends it with status 0; a step it does not know, 2.
#include "capi_bridge/process.hpp"
#include "harness/process.hpp"
#include "toolkit/os.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

void write_out(std::FILE* stream, const void* data, std::size_t size) {
  if (std::fwrite(data, 1, size, stream) != size || std::fflush(stream) != 0)
    std::exit(3);
}

void write_out(std::FILE* stream, const std::string& text) {
  write_out(stream, text.data(), text.size());
}

} // namespace

int main(int argc, char** argv) {
  harness::binary_mode(stdin);
  harness::binary_mode(stdout);
  for (int i = 1; i < argc; ++i) {
    std::string step = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (step == "out") {
      write_out(stdout, value);
      ++i;
    } else if (step == "err") {
      write_out(stderr, value);
      ++i;
    } else if (step == "pause") {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(value)));
      ++i;
    } else if (step == "env") {
      const char* found = std::getenv(value);
      write_out(stdout, std::string(found != nullptr ? found : "unset") + "\n");
      ++i;
    } else if (step == "args") {
      for (++i; i < argc; ++i)
        write_out(stdout, argv[i], std::strlen(argv[i]) + 1);
    } else if (step == "cat") {
      char buffer[4096];
      std::size_t got = 0;
      while ((got = std::fread(buffer, 1, sizeof buffer, stdin)) > 0)
        write_out(stdout, buffer, got);
    } else if (step == "flood") {
      const std::string line(4095, 'y');
      for (;;)
        write_out(stdout, line + "\n");
    } else if (step == "abandon") {
      capi_bridge::child_process child;
      std::string self = (toolkit::program_folder() /
                          (std::string("process_test_child") + toolkit::executable_suffix))
                             .string();
      if (!child.start({{self, "pause", "30000"}, {}, {}, {}, false}))
        return 4;
      write_out(stdout, std::to_string(child.id()) + "\n");
      std::_Exit(0);
    } else if (step == "exit") {
      return std::atoi(value);
    } else {
      std::fprintf(stderr, "process_test_child: unknown step %s\n", step.c_str());
      return 2;
    }
  }
  return 0;
}
