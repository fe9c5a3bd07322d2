// SPDX-License-Identifier: MIT
// The parts of child_process that need no operating system of their own.
#include "capi_bridge/process.hpp"

namespace capi_bridge {

child_process& child_process::operator=(child_process&& other) noexcept {
  if (this != &other) {
    // The child this object ran until now is ended by the destructor, as
    // it would be had this object gone out of scope.
    child_process replaced(std::move(*this));
    s_.swap(other.s_);
  }
  return *this;
}

io_result child_process::read_line(std::string& line, deadline until) {
  line.clear();
  for (;;) {
    std::uint8_t c = 0;
    io_result r = read(&c, 1, until);
    if (r != io_result::done)
      return r;
    if (c == '\n')
      return io_result::done;
    if (c != '\r')
      line += static_cast<char>(c);
  }
}

} // namespace capi_bridge
