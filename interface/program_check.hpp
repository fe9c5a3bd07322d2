// SPDX-License-Identifier: MIT
// What capi-bridge-run can tell from a program's file before it runs it:
// whether the library it preloads can go into the program at all, and
// whether the program could ever reach libcapi20.
#pragma once

#include <string>

namespace capi_interface {

struct program_check {
  // Empty when nothing speaks against serving the program; otherwise one
  // sentence on why its CAPI calls will not go through bridges.
  std::string reason;
  // The reason is a guess from what the program and its libraries import
  // (it neither links libcapi20 nor opens libraries nor runs programs), not
  // a certainty; users may ask not to hear it.
  bool guessed = false;
};

// Whether the file `path` names is libcapi20 itself (libcapi20.so, or
// libcapi20.so.N...), in whatever folder.
inline bool is_libcapi20(const std::string& path) {
  std::string name = path.substr(path.rfind('/') + 1);
  return name == "libcapi20.so" || name.rfind("libcapi20.so.", 0) == 0;
}

// Checks `program` as execvp would find it (a name without '/' is looked up
// on PATH). A program that cannot be found or read, a script, or a file the
// check does not understand gives no reason: the exec will tell. Never
// throws; reads files and runs the system's dynamic loader to list the
// program's libraries (it does not run the program).
program_check check_program(const std::string& program);

} // namespace capi_interface
