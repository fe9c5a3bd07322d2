// Spawning and watching the emulator; every wait has a timeout.
#include "emulator_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

int log_count = 0;

// Reads one line from `fd` within the deadline.
bool read_line(int fd, std::string& line, std::chrono::steady_clock::time_point deadline) {
  line.clear();
  char c = 0;
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      return false;
    }
    if (::read(fd, &c, 1) != 1) {
      return false;
    }
    if (c == '\n') {
      return true;
    }
    line += c;
  }
}

} // namespace

bool start_emulator(const std::vector<std::string>& args, emulator_process& p, std::string& error) {
  p.log_path = std::string(std::getenv("HOME")) + "/emulator-" + std::to_string(++log_count) + ".log";
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    error = "pipe failed";
    return false;
  }
  std::vector<std::string> all = {CAPI_HOST_EMULATOR, "--port", "0", "--verbose", "--exit-after", "60"};
  all.insert(all.end(), args.begin(), args.end());
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int log = ::open(p.log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out[1], 1);
    ::dup2(log, 2);
    ::close_range(3, ~0U, 0); // library sockets must not live on in the emulator
    std::vector<char*> argv;
    for (std::string& a : all) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  p.pid = pid;
  std::string line;
  const bool got = read_line(out[0], line, std::chrono::steady_clock::now() + std::chrono::seconds(5));
  ::close(out[0]);
  const std::string prefix = "listening 127.0.0.1:";
  if (!got || line.rfind(prefix, 0) != 0) {
    error = "no listening line, got \"" + line + "\"; log: " + read_log(p);
    stop_emulator(p);
    return false;
  }
  p.port = std::stoi(line.substr(prefix.size()));
  return true;
}

std::string read_log(const emulator_process& p) {
  std::ifstream in(p.log_path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool wait_for_log(const emulator_process& p, const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (read_log(p).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

int wait_for_exit(emulator_process& p, std::chrono::milliseconds timeout) {
  if (p.pid <= 0) {
    return -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (::waitpid(p.pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(p.pid, SIGKILL);
      ::waitpid(p.pid, &status, 0);
      p.pid = -1;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  p.pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int stop_emulator(emulator_process& p) {
  if (p.pid <= 0) {
    return -1;
  }
  ::kill(p.pid, SIGTERM);
  return wait_for_exit(p, std::chrono::seconds(5));
}
