// SPDX-License-Identifier: MIT
// getopt_long with messages of our own: getopt's name the program by argv[0]
// (a path, often) and say nothing about values.
#include "toolkit/command_line.hpp"

#include "capi_bridge/version.hpp"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace toolkit {

namespace {

enum : int { help_option = 'h', version_option = 'V' };

} // namespace

void print_version(const char* program) {
  std::printf("%s (capi-bridge) %s\n", program, CAPI_BRIDGE_VERSION);
}

command_line::command_line(const char* program, const char* usage, const option* options,
                           bool takes_operands)
    : program_(program), usage_(usage), takes_operands_(takes_operands) {
  for (const option* o = options; o->name != nullptr; ++o)
    options_.push_back(*o);
  options_.push_back({"help", no_argument, nullptr, help_option});
  options_.push_back({"version", no_argument, nullptr, version_option});
  options_.push_back({nullptr, 0, nullptr, 0});
  // A fresh scan (optind 0 resets glibc's and mingw-w64's getopt), and no
  // messages from getopt itself: ours name the option the same way for
  // every kind of error.
  optind = 0;
  opterr = 0;
}

int command_line::next(int argc, char** argv) {
  if (status_)
    return -1;
  value_ = nullptr;
  long_index_ = -1;
  // The leading ':' makes a missing value ':' rather than '?'; a '+' before
  // it ends the options at the first operand.
  current_ =
      getopt_long(argc, argv, takes_operands_ ? "+:hV" : ":hV", options_.data(), &long_index_);
  switch (current_) {
  case -1:
    operands_ = optind;
    if (optind < argc && !takes_operands_)
      fail(std::string("unexpected argument '") + argv[optind] + "'");
    return -1;
  case help_option:
    std::fputs(usage_, stdout);
    return stop(0);
  case version_option:
    print_version(program_);
    return stop(0);
  case ':':
    current_ = optopt;
    fail(current_name() + " needs a value");
    return -1;
  case '?': {
    // An unknown or ambiguous long option leaves optopt 0; a known one given
    // a value it does not take leaves its val there.
    std::string given = optind > 0 && optind <= argc ? argv[optind - 1] : "";
    given = given.substr(0, given.find('='));
    current_ = optopt;
    if (optopt == 0)
      fail("unknown option " + given);
    else if (given.rfind("--", 0) == 0)
      fail(current_name() + " takes no value");
    else
      fail(std::string("unknown option -") + static_cast<char>(optopt));
    return -1;
  }
  default:
    value_ = optarg;
    return current_;
  }
}

bool command_line::number(unsigned long low, unsigned long high, unsigned long& out, int base) {
  const std::string text = value_ != nullptr ? value_ : "";
  // strtoul alone would take leading blanks, a sign, and "-1" as its largest value.
  if (text.empty() || std::isdigit(static_cast<unsigned char>(text[0])) == 0)
    return reject("'" + text + "' is not a whole number");
  char* end = nullptr;
  errno = 0;
  const unsigned long n = std::strtoul(text.c_str(), &end, base);
  if (*end != '\0')
    return reject("'" + text + "' is not a whole number");
  if (errno == ERANGE || n < low || n > high)
    return reject("'" + text + "' is out of range (" + std::to_string(low) + " to " +
                  std::to_string(high) + ")");
  out = n;
  return true;
}

bool command_line::reject(const std::string& what) {
  fail(current_name() + ": " + what);
  return false;
}

void command_line::fail(const std::string& what) {
  if (status_)
    return;
  std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program_, what.c_str(),
               program_);
  stop(usage_error);
}

int command_line::stop(int status) {
  status_ = status;
  return -1;
}

std::string command_line::current_name() const {
  if (long_index_ >= 0)
    return std::string("--") + options_[static_cast<std::size_t>(long_index_)].name;
  for (const option& o : options_)
    if (o.name != nullptr && o.val == current_ && o.flag == nullptr)
      return std::string("--") + o.name;
  return std::string("-") + static_cast<char>(current_);
}

} // namespace toolkit
