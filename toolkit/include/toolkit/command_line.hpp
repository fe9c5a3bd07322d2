// SPDX-License-Identifier: MIT
// The command lines of the project's programs (all but the bridge, which
// takes none): getopt_long with --help and --version of its own, and usage
// errors that name the option and say what was wrong with it.
#pragma once

#include <getopt.h>

#include <optional>
#include <string>
#include <vector>

namespace toolkit {

// Exit status of a program given a command line it cannot use.
constexpr int usage_error = 2;

// Reads one command line. Typical use:
//
//   enum { port = 256, verbose };  // long options only: values above any letter
//   const option options[] = {{"port", required_argument, nullptr, port},
//                             {"verbose", no_argument, nullptr, verbose}, {}};
//   command_line line("capi-host-emulator", usage_text, options);
//   for (int o; (o = line.next(argc, argv)) != -1;)
//     switch (o) {
//     case port: line.number(0, 65534, opt.port); break;
//     case verbose: opt.verbose = true; break;
//     }
//   if (auto status = line.finished()) return *status;
//
// Long options take "--name=value" and "--name value", and unambiguous
// abbreviations; -h is --help and -V is --version. No arguments other than
// options are taken, unless the program takes operands: then the options
// end at the first argument that is none (or at "--"), and operands() says
// where the rest begins.
class command_line {
public:
  // `program`: the name messages start with and --version prints;
  // `usage`: what --help prints; `options`: getopt_long's table, ending in
  // an all-zero entry, without help and version (this class adds them).
  // The strings, the names in the table among them, must outlive the object.
  command_line(const char* program, const char* usage, const option* options,
               bool takes_operands = false);
  command_line(const command_line&) = delete;
  command_line& operator=(const command_line&) = delete;

  // The next option's `val`, or -1 when there is none left to act on: the
  // command line is read, or --help or --version has been answered on
  // standard output, or a usage error has been reported on standard error.
  // Look at finished() then.
  int next(int argc, char** argv);

  // The value of the option next() returned (null for one without).
  const char* value() const { return value_; }

  // Reads value() as a whole number from `low` to `high` (base 10, or with
  // base 0 also 0x... hexadecimal). On failure reports which option and
  // why, and returns false; next() then returns -1.
  bool number(unsigned long low, unsigned long high, unsigned long& out, int base = 10);

  // Reports a usage error about the option next() returned, e.g.
  // reject("1 to 32 digits expected") -> "PROGRAM: --echo-number: 1 to 32
  // digits expected"; returns false. next() then returns -1.
  bool reject(const std::string& what);

  // Reports a usage error that is about no single option (say, two options
  // that need each other); next() then returns -1. Says nothing when an
  // error has been reported already.
  void fail(const std::string& what);

  // After next() returned -1 with finished() empty: the index in argv of
  // the first operand (argc when there is none).
  int operands() const { return operands_; }

  // After next() returned -1: nullopt when the program should go on, else
  // the exit status to leave with (0 after --help or --version, usage_error
  // after an error).
  std::optional<int> finished() const { return status_; }

private:
  std::string current_name() const;
  int stop(int status);

  const char* program_;
  const char* usage_;
  bool takes_operands_ = false;
  int operands_ = 0;
  std::vector<option> options_; // the program's, then help and version
  const char* value_ = nullptr;
  int current_ = 0;
  int long_index_ = -1;
  std::optional<int> status_;
};

// Prints "PROGRAM (capi-bridge) VERSION" on standard output, the version
// being the project() version of the build.
void print_version(const char* program);

} // namespace toolkit
