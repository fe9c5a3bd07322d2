// SPDX-License-Identifier: MIT
// child_process on POSIX systems: posix_spawn with pipes, poll for every wait
// with a deadline, SIGPIPE held off the caller while writing.
#include "capi_bridge/process.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace capi_bridge {

struct child_process::state {
  pid_t pid = 0;
  int input = -1;  // the child's standard input, our end (non-blocking)
  int output = -1; // the child's standard output, our end
  bool running = false;
  std::optional<exit_status> ended;
  std::string error;
};

namespace {

void close_fd(int& fd) {
  if (fd >= 0)
    ::close(fd);
  fd = -1;
}

int milliseconds_left(deadline until) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      until - std::chrono::steady_clock::now());
  if (left.count() <= 0)
    return 0;
  return left.count() > 60000 ? 60000 : static_cast<int>(left.count()) + 1;
}

// Waits for `events` on `fd`; false when the deadline passes first.
bool ready(int fd, short events, deadline until) {
  for (;;) {
    pollfd p{fd, events, 0};
    int left = milliseconds_left(until);
    int got = ::poll(&p, 1, left);
    if (got > 0)
      return true;
    if (got < 0 && errno != EINTR)
      return true; // let the read or write report the error
    if (std::chrono::steady_clock::now() >= until)
      return false;
  }
}

exit_status decode(int status) {
  exit_status e;
  e.exited = WIFEXITED(status);
  e.code = e.exited ? WEXITSTATUS(status) : -1;
  e.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return e;
}

// The child's environment: ours without `unset`, with `extra` set over it.
std::vector<std::string>
merged_environment(const std::vector<std::pair<std::string, std::string>>& extra,
                   const std::vector<std::string>& unset) {
  std::map<std::string, std::string> all;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string entry = *e;
    auto equals = entry.find('=');
    if (equals != std::string::npos)
      all[entry.substr(0, equals)] = entry.substr(equals + 1);
  }
  for (const std::string& name : unset)
    all.erase(name);
  for (const auto& [name, value] : extra)
    all[name] = value;
  std::vector<std::string> entries;
  for (const auto& [name, value] : all)
    entries.push_back(name + "=" + value);
  return entries;
}

// While alive, SIGPIPE is blocked in this thread, so that a write to a
// child that is gone reports EPIPE instead of killing us; the SIGPIPE such a
// write raised is taken off the pending set before the mask goes back. The
// common case costs two system calls around the write: a SIGPIPE pending
// before can only be there when the caller blocks it, and only then is the
// pending set read.
class sigpipe_held {
public:
  sigpipe_held() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    if (sigismember(&old_, SIGPIPE) == 1) {
      sigset_t pending;
      sigpending(&pending);
      already_pending_ = sigismember(&pending, SIGPIPE) == 1;
    }
  }
  // A write failed with EPIPE and raised SIGPIPE.
  void broken_pipe() { broken_ = true; }
  ~sigpipe_held() {
    if (broken_ && !already_pending_) {
      timespec zero{};
      sigtimedwait(&pipe_, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  sigpipe_held(const sigpipe_held&) = delete;
  sigpipe_held& operator=(const sigpipe_held&) = delete;

private:
  sigset_t pipe_{};
  sigset_t old_{};
  bool already_pending_ = false;
  bool broken_ = false;
};

} // namespace

child_process::child_process() : s_(std::make_unique<state>()) {}

child_process::~child_process() {
  if (s_ == nullptr)
    return;
  if (s_->running)
    kill();
  close_fd(s_->input);
  close_fd(s_->output);
}

// Move assignment (process.cpp) is built on this and the destructor.
child_process::child_process(child_process&&) noexcept = default;

bool child_process::start(const process_options& options) {
  if (options.command.empty()) {
    s_->error = "no command given";
    return false;
  }
  int to_child[2];
  int from_child[2];
  if (::pipe2(to_child, O_CLOEXEC) != 0) {
    s_->error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  if (::pipe2(from_child, O_CLOEXEC) != 0) {
    s_->error = std::string("pipe: ") + std::strerror(errno);
    ::close(to_child[0]);
    ::close(to_child[1]);
    return false;
  }

  // Opened here, so that a file that cannot be opened is reported as such.
  const std::string error_file = options.stderr_path.empty() ? "/dev/null" : options.stderr_path;
  int child_err = ::open(error_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (child_err < 0) {
    s_->error = "cannot open the standard error file " + error_file + ": " + std::strerror(errno);
    for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]})
      ::close(fd);
    return false;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to_child[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, from_child[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, child_err, STDERR_FILENO);
  // Descriptors the caller opened without close-on-exec (sockets of a
  // library, say) must not live on in the child.
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

  std::vector<std::string> environment =
      merged_environment(options.environment, options.unset_environment);
  std::vector<char*> envp;
  for (std::string& entry : environment)
    envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> arguments = options.command;
  std::vector<char*> argv;
  for (std::string& argument : arguments)
    argv.push_back(argument.data());
  argv.push_back(nullptr);

  // A process group of its own: a terminal's Ctrl-C (SIGINT) or Ctrl-\ is for
  // this program, which ends the bridge as it sees fit, and not for the bridge.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);

  pid_t pid = 0;
  int failed = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(to_child[0]);
  ::close(from_child[1]);
  ::close(child_err);
  if (failed != 0) {
    s_->error = "cannot start " + options.command[0] + ": " + std::strerror(failed);
    ::close(to_child[1]);
    ::close(from_child[0]);
    return false;
  }
  s_->pid = pid;
  s_->input = to_child[1];
  s_->output = from_child[0];
  ::fcntl(s_->input, F_SETFL, ::fcntl(s_->input, F_GETFL) | O_NONBLOCK);
  s_->running = true;
  return true;
}

const std::string& child_process::error() const {
  return s_->error;
}

bool child_process::running() const {
  return s_->running;
}

long child_process::id() const {
  return s_->pid;
}

io_result child_process::write(const std::uint8_t* data, std::size_t size, deadline until) {
  if (s_->input < 0)
    return io_result::ended;
  sigpipe_held hold;
  std::size_t done = 0;
  while (done < size) {
    ssize_t wrote = ::write(s_->input, data + done, size - done);
    if (wrote >= 0) {
      done += static_cast<std::size_t>(wrote);
      continue;
    }
    if (errno == EINTR)
      continue;
    if (errno == EPIPE) {
      hold.broken_pipe();
      return io_result::ended;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK)
      return io_result::failed;
    if (!ready(s_->input, POLLOUT, until))
      return io_result::timed_out;
  }
  return io_result::done;
}

io_result child_process::read(std::uint8_t* data, std::size_t size, deadline until) {
  if (s_->output < 0)
    return io_result::ended;
  std::size_t done = 0;
  while (done < size) {
    if (!ready(s_->output, POLLIN, until))
      return io_result::timed_out;
    ssize_t got = ::read(s_->output, data + done, size - done);
    if (got > 0)
      done += static_cast<std::size_t>(got);
    else if (got == 0)
      return io_result::ended;
    else if (errno != EINTR && errno != EAGAIN)
      return io_result::failed;
  }
  return io_result::done;
}

io_result child_process::read_some(std::uint8_t* data, std::size_t size, std::size_t& got,
                                   deadline until) {
  got = 0;
  if (s_->output < 0)
    return io_result::ended;
  for (;;) {
    if (!ready(s_->output, POLLIN, until))
      return io_result::timed_out;
    ssize_t count = ::read(s_->output, data, size);
    if (count > 0) {
      got = static_cast<std::size_t>(count);
      return io_result::done;
    }
    if (count == 0)
      return io_result::ended;
    if (errno != EINTR && errno != EAGAIN)
      return io_result::failed;
  }
}

void child_process::close_input() {
  close_fd(s_->input);
}

void child_process::close_output() {
  close_fd(s_->output);
}

std::optional<exit_status> child_process::wait(deadline until) {
  if (s_->ended)
    return s_->ended;
  if (!s_->running)
    return std::nullopt;
  auto pause = std::chrono::milliseconds(0);
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(s_->pid, &status, WNOHANG);
    if (done == s_->pid || (done < 0 && errno == ECHILD)) {
      s_->running = false;
      s_->ended = done == s_->pid ? decode(status) : exit_status{};
      return s_->ended;
    }
    if (std::chrono::steady_clock::now() >= until)
      return std::nullopt;
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(10))
      pause += std::chrono::milliseconds(1);
  }
}

void child_process::terminate() {
  if (s_->running)
    ::kill(s_->pid, SIGTERM);
}

void child_process::kill_only() {
  if (s_->running)
    ::kill(s_->pid, SIGKILL);
}

void child_process::kill() {
  if (!s_->running)
    return;
  ::kill(s_->pid, SIGKILL);
  int status = 0;
  while (::waitpid(s_->pid, &status, 0) < 0 && errno == EINTR) {
  }
  s_->running = false;
  s_->ended = decode(status);
  close_fd(s_->input);
  close_fd(s_->output);
}

} // namespace capi_bridge
