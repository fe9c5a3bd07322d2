// SPDX-License-Identifier: MIT
// child_process on POSIX systems: posix_spawn with pipes (or, for a child
// hidden from the program's wait(), a keeper that is no child of ours), poll
// for every wait with a deadline, SIGPIPE held off the caller while writing.
#include "capi_bridge/process.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
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
  bool hidden = false; // pid names the keeper's process group (see hidden_start)
  int status = -1;     // a hidden child's status pipe, our end
  bool killed = false; // a hidden child was sent SIGKILL
  std::optional<exit_status> ended;
  std::string error;
  // Where a signal for the child goes: a hidden child's keeper and program
  // share a process group.
  pid_t signalled() const { return hidden ? -pid : pid; }
};

namespace {

void close_fd(int& fd) {
  if (fd >= 0)
    ::close(fd);
  fd = -1;
}

// The longest single poll: a wait up to a later deadline is made of several
// (poll takes an int).
constexpr int longest_slice_ms = 60000;

int milliseconds_left(deadline until) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      until - std::chrono::steady_clock::now());
  if (left.count() <= 0)
    return 0;
  return left.count() >= longest_slice_ms ? longest_slice_ms : static_cast<int>(left.count()) + 1;
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

// A hidden child runs under a keeper that belongs to no process of the
// program's: a copy of this process made by clone with no exit signal (so
// that no wait() of the program sees it) makes the keeper, a copy of its
// own, and ends at once; this process reaps it. The keeper starts the
// program as its own child, lets go of the pipes, waits for the program
// and writes how it ended into a status pipe, the one way its end reaches
// this process. Both copies, of a process that may run threads, make only
// system calls, with everything prepared by the parent. The group they
// share is named by the first copy's ID, which stays taken while the group
// lives.
struct hidden_start {
  int input, output, error;
  int status; // the status pipe's writing end
  const char* path;
  char** argv;
  char** envp;
  sigset_t mask; // the parent's signal mask, the program's again at exec
};

constexpr int status_fd = STDERR_FILENO + 1;

[[noreturn]] void run_program(const hidden_start& h) {
  ::pthread_sigmask(SIG_SETMASK, &h.mask, nullptr);
  ::execve(h.path, h.argv, h.envp);
  ::_exit(127);
}

// A copy of this process by the raw system call: no fork handlers run and
// no locks are taken, in a process whose other threads the copy does not
// have. Not vfork: a sanitizer's vfork wrapper takes the thread it knows
// (whose stack this is not) for this one, and in a build with
// AddressSanitizer it then cleared gigabytes of shadow memory and crashed,
// keeping the program's pipes open meanwhile. With no stack of its own
// given, the copy goes on on its copy of this one, as after fork.
long copy_of_this_process() {
  return ::syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, nullptr);
}

[[noreturn]] void keep(const hidden_start& h) {
  long program = copy_of_this_process();
  if (program == 0)
    run_program(h);
  // The pipes are the program's alone: its end is seen as their end. A
  // request to stop, sent to the group, is the program's to act on.
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
    ::close(fd);
  for (int signal : {SIGTERM, SIGHUP, SIGINT, SIGQUIT})
    ::signal(signal, SIG_IGN);
  int status = 127 << 8; // as a program that could not be run
  if (program > 0)
    while (::waitpid(static_cast<pid_t>(program), &status, 0) < 0 && errno == EINTR) {
    }
  if (::write(status_fd, &status, sizeof status) < 0)
    ::_exit(1);
  ::_exit(0);
}

int start_keeper(void* argument) {
  const auto& h = *static_cast<const hidden_start*>(argument);
  // Handlers of the parent's mean nothing here: their signals go back to
  // the default, the ignored ones stay ignored, as across posix_spawn.
  for (int signal = 1; signal < NSIG; ++signal) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN &&
        current.sa_handler != SIG_DFL) {
      struct sigaction plain {};
      plain.sa_handler = SIG_DFL;
      ::sigaction(signal, &plain, nullptr);
    }
  }
  if (::dup2(h.input, STDIN_FILENO) < 0 || ::dup2(h.output, STDOUT_FILENO) < 0 ||
      ::dup2(h.error, STDERR_FILENO) < 0 || ::dup2(h.status, status_fd) < 0 ||
      ::fcntl(status_fd, F_SETFD, FD_CLOEXEC) < 0 || ::setpgid(0, 0) != 0)
    ::_exit(127);
  ::closefrom(status_fd + 1);
  long keeper = copy_of_this_process();
  if (keeper == 0)
    keep(h);
  ::_exit(keeper < 0 ? 127 : 0);
}

// `name` as execvp would find it: itself when it names a folder, else the
// first executable of that name in PATH; empty when there is none.
std::string program_path(const std::string& name) {
  if (name.find('/') != std::string::npos)
    return name;
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  for (std::size_t at = 0; at <= folders.size();) {
    std::size_t end = folders.find(':', at);
    if (end == std::string::npos)
      end = folders.size();
    std::string folder = folders.substr(at, end - at);
    std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    at = end + 1;
  }
  return {};
}

// Starts `h`'s program under a keeper that is no child of this process
// (see hidden_start). The ID of the keeper's process group, or -1 with
// errno set.
pid_t spawn_hidden(hidden_start& h) {
  constexpr std::size_t stack_size = 64 * 1024;
  void* stack = ::mmap(nullptr, stack_size, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack == MAP_FAILED)
    return -1;
  // No handler of this process may run in the copy before it has put the
  // handlers back to the default.
  sigset_t all;
  sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, &h.mask);
  pid_t first = ::clone(start_keeper, static_cast<char*>(stack) + stack_size, 0, &h);
  int clone_error = errno;
  ::pthread_sigmask(SIG_SETMASK, &h.mask, nullptr);
  // The copy has a copy of the stack; this one is no one's now.
  ::munmap(stack, stack_size);
  if (first < 0) {
    errno = clone_error;
    return -1;
  }
  int status = 0;
  while (::waitpid(first, &status, __WALL) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    errno = EAGAIN;
    return -1;
  }
  return first;
}

} // namespace

child_process::child_process() : s_(std::make_unique<state>()) {}

child_process::~child_process() {
  if (s_ == nullptr)
    return;
  if (s_->running)
    kill();
  close_fd(s_->input);
  close_fd(s_->output);
  close_fd(s_->status);
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
  // "/dev/stderr" shares this process's own standard error as it is: opened
  // anew, a file that standard output writes to as well would be written
  // over at two offsets.
  const std::string error_file = options.stderr_path.empty() ? "/dev/null" : options.stderr_path;
  int child_err = error_file == "/dev/stderr"
                      ? ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1)
                      : ::open(error_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
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
  int failed = 0;
  int status_pipe[2] = {-1, -1};
  if (options.hidden_from_wait) {
    std::string path = program_path(argv[0]);
    if (path.empty()) {
      failed = ENOENT;
    } else if (::pipe2(status_pipe, O_CLOEXEC) != 0) {
      failed = errno;
    } else {
      hidden_start h{to_child[0],  from_child[1], child_err,   status_pipe[1],
                     path.c_str(), argv.data(),   envp.data(), {}};
      pid = spawn_hidden(h);
      if (pid < 0)
        failed = errno;
      ::close(status_pipe[1]);
      if (pid < 0)
        ::close(status_pipe[0]);
    }
  } else {
    failed = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
  }
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
  s_->hidden = options.hidden_from_wait;
  s_->status = status_pipe[0];
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
  if (s_->hidden) {
    // The keeper writes how the program ended, and ends; a keeper killed
    // with the program writes nothing.
    if (!ready(s_->status, POLLIN, until))
      return std::nullopt;
    int status = 0;
    ssize_t got = 0;
    do
      got = ::read(s_->status, &status, sizeof status);
    while (got < 0 && errno == EINTR);
    exit_status e;
    if (got == static_cast<ssize_t>(sizeof status))
      e = decode(status);
    else if (s_->killed)
      e.signal = SIGKILL;
    s_->running = false;
    s_->ended = e;
    close_fd(s_->status);
    return s_->ended;
  }
  auto pause = std::chrono::milliseconds(0);
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(s_->pid, &status, WNOHANG | __WALL);
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
    ::kill(s_->signalled(), SIGTERM);
}

void child_process::kill_only() {
  if (!s_->running)
    return;
  s_->killed = true;
  ::kill(s_->signalled(), SIGKILL);
}

void child_process::kill() {
  if (!s_->running)
    return;
  if (s_->hidden) {
    kill_only();
    wait(deadline::max());
    close_fd(s_->input);
    close_fd(s_->output);
    return;
  }
  ::kill(s_->signalled(), SIGKILL);
  int status = 0;
  while (::waitpid(s_->pid, &status, __WALL) < 0 && errno == EINTR) {
  }
  s_->running = false;
  s_->ended = decode(status);
  close_fd(s_->input);
  close_fd(s_->output);
}

} // namespace capi_bridge
