// SPDX-License-Identifier: MIT
// Feeds arbitrary byte streams to the request loop, as a client's standard
// input, with the stand-in library answering from its script. Any crash, any
// sanitizer report and any abort of the stand-in (which, like the real
// library, aborts on a DATA_B3_RESP it does not expect) is a finding.
#include "bridge/frames.hpp"
#include "bridge/loop.hpp"
#include "capi/binding.hpp"
#include "capi/connection.hpp"
#include "capi/incoming_data.hpp"
#include "capi/put.hpp"
#include "platform/platform.hpp"

#include <cstdint>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

void (*fake_capi_reset)() = nullptr;

// The stand-in is found through the run path the fuzzer is linked with, the
// same way the bridge's own Open loads it.
void prepare_once() {
  static bool prepared = false;
  if (prepared)
    return;
  prepared = true;
  platform_start();
  int null_output = open("/dev/null", O_WRONLY);
  dup2(null_output, STDOUT_FILENO);
  close(null_output);
  void* library = platform_load_library(capi_library_file_name);
  if (library == nullptr)
    std::abort();
  fake_capi_reset = reinterpret_cast<void (*)()>(dlsym(library, "fake_capi_reset"));
  if (fake_capi_reset == nullptr)
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  prepare_once();
  fake_capi_reset();

  int input[2];
  if (pipe(input) != 0)
    std::abort();
  // Room for the whole input in the pipe, so that one write never blocks.
  fcntl(input[1], F_SETPIPE_SZ, 1 << 20);
  std::size_t written = 0;
  while (written < size) {
    ssize_t wrote = write(input[1], data + written, size - written);
    if (wrote <= 0)
      break;
    written += static_cast<std::size_t>(wrote);
  }
  close(input[1]);
  // The previous run closed standard input, so the pipe may already be it.
  if (input[0] != STDIN_FILENO) {
    dup2(input[0], STDIN_FILENO);
    close(input[0]);
  }

  // Every module starts as the process would: a finding then reproduces
  // from its input alone.
  discard_read_ahead();
  reset_binding();
  reset_connection();
  reset_put();
  forget_all_data_b3_ind();
  serve_requests();
  close(STDIN_FILENO);
  return 0;
}
