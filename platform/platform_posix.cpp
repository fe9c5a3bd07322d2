// SPDX-License-Identifier: MIT
// The platform layer on POSIX systems (Linux): plain file descriptors, dlopen
// and a readability test that catches the fault of a probing read. Nothing
// Windows-specific.
#include "platform/platform.hpp"

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

const char* const capi_library_file_name = "libcapi20.so.3";

namespace {

volatile std::sig_atomic_t stop_requested = 0;
// The null device, kept open to take the place of standard input on a stop.
int null_device = -1;
// The parent at start-up; another parent later means that it has died.
pid_t first_parent = 0;

// Async-signal-safe. Standard input now reads as ended, so the loop stops
// even when the signal came just before it blocks in a read; the alarm
// interrupts a blocking call into the library (connect, recv) until the
// loop is back.
void request_stop() {
  stop_requested = 1;
  if (null_device >= 0)
    dup2(null_device, STDIN_FILENO);
  alarm(1);
}

void on_stop_signal(int) {
  request_stop();
}

// The parent-death signal also comes when the thread that started the bridge
// ends while its process goes on; only a new parent means the client is gone.
void on_parent_death_signal(int) {
  if (getppid() != first_parent)
    request_stop();
}

void on_alarm(int) {
  if (stop_requested != 0)
    alarm(1);
}

void handle(int signal, void (*handler)(int), int flags) {
  struct sigaction action = {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
}

} // namespace

void platform_start() {
  // A descriptor the library opens while 1 or 2 is closed would take its
  // number: its debug lines or our replies would then be written into the
  // machine-wide table of application IDs it keeps open.
  for (int standard = STDIN_FILENO; standard <= STDERR_FILENO; ++standard)
    if (fcntl(standard, F_GETFD) < 0 && errno == EBADF)
      open("/dev/null", standard == STDIN_FILENO ? O_RDONLY : O_WRONLY);
  null_device = open("/dev/null", O_RDONLY | O_CLOEXEC);

  // Neither the bridge's own writes nor the library's sends on its TCP
  // sockets (it sets no MSG_NOSIGNAL) may end the process.
  std::signal(SIGPIPE, SIG_IGN);
  // A terminal's Ctrl-C or hang-up is for the client; the bridge ends with
  // its input.
  std::signal(SIGINT, SIG_IGN);
  // Without SA_RESTART: a stop must interrupt a blocking call.
  handle(SIGTERM, on_stop_signal, 0);
  handle(SIGQUIT, on_stop_signal, 0);
  handle(SIGALRM, on_alarm, 0);
  // With SA_RESTART: a parent-death signal from an ended thread of a live
  // client must not disturb the library. A real parent death restarts the
  // call once, and the alarm then interrupts it.
  handle(SIGHUP, on_parent_death_signal, SA_RESTART);
  first_parent = getppid();
  prctl(PR_SET_PDEATHSIG, SIGHUP);
  // The parent may have died before the signal was armed.
  if (getppid() != first_parent)
    request_stop();
}

bool platform_input_is_terminal() {
  return isatty(STDIN_FILENO) == 1;
}

bool platform_stop_requested() {
  return stop_requested != 0;
}

long platform_read_input(void* buffer, std::size_t size) {
  for (;;) {
    ssize_t got = read(STDIN_FILENO, buffer, size);
    if (got >= 0)
      return static_cast<long>(got);
    if (errno != EINTR)
      return -1;
  }
}

namespace {

// Writes all `size` bytes with write, again after an interruption or a
// partial write; gives up on an error.
void write_whole(const void* data, std::size_t size) {
  const auto* at = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t wrote = write(STDOUT_FILENO, at, size);
    if (wrote < 0) {
      if (errno == EINTR && stop_requested == 0)
        continue;
      return;
    }
    at += wrote;
    size -= static_cast<std::size_t>(wrote);
  }
}

// A header and message up to this size are gathered into one part.
constexpr std::size_t gathered_reply_size = 512;

} // namespace

void platform_write_output(const void* head, std::size_t head_length, const void* data,
                           std::size_t data_length, const void* extra, std::size_t extra_length) {
  // writev costs the kernel a copy and a check of the vector, a tenth of a
  // pipelined request's whole cost, and more for each part; copying a
  // message of a few dozen bytes behind the header here costs far less. B3
  // data (the extra) is never copied: a reply that carries it goes out by
  // writev from where it lies.
  char gathered[gathered_reply_size];
  if (data_length != 0 && head_length + data_length <= gathered_reply_size) {
    std::memcpy(gathered, head, head_length);
    std::memcpy(gathered + head_length, data, data_length);
    head = gathered;
    head_length += data_length;
    data_length = 0;
  }
  if (data_length == 0 && extra_length == 0) {
    write_whole(head, head_length);
    return;
  }
  // Only parts that hold bytes go into the vector.
  iovec parts[3];
  int left = 0;
  const void* bases[3] = {head, data, extra};
  std::size_t lengths[3] = {head_length, data_length, extra_length};
  for (int i = 0; i < 3; ++i)
    if (lengths[i] != 0)
      parts[left++] = {const_cast<void*>(bases[i]), lengths[i]};
  iovec* next = parts;
  // One writev for the whole reply; the loop only runs again when a pipe
  // takes part of it.
  while (left > 0) {
    ssize_t wrote = writev(STDOUT_FILENO, next, left);
    if (wrote < 0) {
      if (errno == EINTR && stop_requested == 0)
        continue;
      return;
    }
    auto done = static_cast<std::size_t>(wrote);
    while (left > 0 && done >= next->iov_len) {
      done -= next->iov_len;
      ++next;
      --left;
    }
    if (left > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + done;
      next->iov_len -= done;
    }
  }
}

timeval* platform_timeout(std::uint32_t milliseconds) {
  static timeval record;
  record = {static_cast<time_t>(milliseconds / 1000),
            static_cast<suseconds_t>(milliseconds % 1000 * 1000)};
  return &record;
}

void platform_pause(int connection, std::uint32_t milliseconds) {
  pollfd watched = {connection, POLLIN, 0};
  poll(&watched, connection >= 0 ? 1 : 0, static_cast<int>(milliseconds));
}

std::uint64_t platform_milliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

bool platform_input_waiting() {
  pollfd input = {STDIN_FILENO, POLLIN, 0};
  return poll(&input, 1, 0) != 0;
}

void platform_tend_connection(int connection) {
  const int on = 1;
  setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  setsockopt(connection, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  const int idle_seconds = 20, interval_seconds = 5, probes = 3;
  setsockopt(connection, IPPROTO_TCP, TCP_KEEPIDLE, &idle_seconds, sizeof idle_seconds);
  setsockopt(connection, IPPROTO_TCP, TCP_KEEPINTVL, &interval_seconds, sizeof interval_seconds);
  setsockopt(connection, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
  // Keepalive stays quiet while sent data waits for its acknowledgement;
  // this limit then ends the connection in the same time.
  const unsigned unacknowledged_ms = (idle_seconds + probes * interval_seconds) * 1000;
  setsockopt(connection, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged_ms,
             sizeof unacknowledged_ms);
}

void platform_hold_sends(int connection, bool hold) {
  const int on = hold ? 1 : 0;
  setsockopt(connection, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
}

peek_result platform_peek(int connection, void* buffer, std::size_t size) {
  for (;;) {
    ssize_t got = recv(connection, buffer, size, MSG_PEEK | MSG_DONTWAIT);
    if (got > 0)
      return {connection_look::bytes, static_cast<std::size_t>(got)};
    if (got == 0)
      return {connection_look::ended, 0};
    switch (errno) {
    case EINTR:
      continue;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return {connection_look::nothing, 0};
    case ENOTSOCK:
    case EBADF:
    case EINVAL:
    case EFAULT:
    case EOPNOTSUPP:
    case ENOTCONN:
      return {connection_look::no_socket, 0};
    default:
      // Reset, timed out (keepalive or unacknowledged data), unreachable.
      return {connection_look::ended, 0};
    }
  }
}

bool platform_peer_closed(int connection) {
  pollfd watched = {connection, POLLRDHUP, 0};
  return poll(&watched, 1, 0) > 0 && (watched.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void platform_await_bytes(int connection, std::size_t count) {
  const int mark = static_cast<int>(count);
  setsockopt(connection, SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark);
}

bool platform_discard(int connection, std::size_t count) {
  char sink[512];
  while (count > 0) {
    ssize_t got = recv(connection, sink, count < sizeof sink ? count : sizeof sink, MSG_DONTWAIT);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return false;
    count -= static_cast<std::size_t>(got);
  }
  return true;
}

void platform_shut_down(int connection) {
  shutdown(connection, SHUT_RDWR);
}

const bool platform_waits_on_connection = true;

wake platform_wait(int connection, std::uint32_t milliseconds) {
  pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {connection, POLLIN, 0}};
  std::uint64_t deadline = platform_milliseconds() + milliseconds;
  for (;;) {
    std::uint64_t now = platform_milliseconds();
    int left = now < deadline ? static_cast<int>(deadline - now) : 0;
    int ready = poll(watched, 2, left);
    if (ready > 0)
      return watched[1].revents != 0 ? wake::connection : wake::input;
    if (ready == 0)
      return wake::timeout;
    if (errno != EINTR || stop_requested != 0)
      return wake::input;
  }
}

void* platform_load_library(const char* file_name) {
  return dlopen(file_name, RTLD_NOW | RTLD_LOCAL);
}

void* platform_find_symbol(void* library, const char* name) {
  return dlsym(library, name);
}

// Linux has no IsBadReadPtr, and asking the kernel (process_vm_readv on our
// own process) costs two microseconds, more than a whole pipelined request.
// So the test does what IsBadReadPtr does: it reads one byte of each page the
// range touches, and a fault on the way (SIGSEGV, or SIGBUS past the end of a
// mapped file) jumps back out of the test instead of ending the process. A
// readable range costs no system call at all.
namespace {

// Where a fault of the probing thread returns to; null while it is not probing.
thread_local sigjmp_buf* probe_exit = nullptr;
volatile char probe_sink;
struct sigaction segv_before, bus_before;

// A fault outside a probe goes to whatever handled it before; the default
// action is put back and the faulting instruction runs again under it.
void on_fault(int signal, siginfo_t* info, void* context) {
  if (probe_exit != nullptr)
    siglongjmp(*probe_exit, 1);
  struct sigaction& before = signal == SIGSEGV ? segv_before : bus_before;
  if ((before.sa_flags & SA_SIGINFO) != 0 && before.sa_sigaction != nullptr) {
    before.sa_sigaction(signal, info, context);
    return;
  }
  if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN) {
    before.sa_handler(signal);
    return;
  }
  sigaction(signal, &before, nullptr);
}

// Installed at the first probe. SA_NODEFER keeps the signal unblocked inside
// the handler, so leaving it by siglongjmp (which restores no mask, and makes
// no system call) leaves the mask as it was.
void install_fault_handler() {
  static bool installed = false;
  if (installed)
    return;
  struct sigaction action = {};
  action.sa_sigaction = on_fault;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, &segv_before);
  sigaction(SIGBUS, &action, &bus_before);
  installed = true;
}

// Reads one byte from each of `pages` pages, the first at `first` and the
// others at their page starts. Returns false when a read faults.
__attribute__((no_sanitize_address)) bool probe_pages(std::uintptr_t first, std::uintptr_t pages,
                                                      std::uintptr_t page_size) {
  sigjmp_buf exit;
  if (sigsetjmp(exit, 0) != 0) {
    probe_exit = nullptr;
    return false;
  }
  probe_exit = &exit;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::uintptr_t page = first & ~(page_size - 1);
  // The bytes are kept in a sink, so that no optimiser (valgrind's included)
  // drops the reads as unused.
  char seen = 0;
  for (std::uintptr_t i = 0; i < pages; ++i, page += page_size)
    // Page arithmetic is done on addresses as numbers.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    seen = static_cast<char>(seen ^ *reinterpret_cast<const volatile char*>(i == 0 ? first : page));
  probe_sink = seen;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  probe_exit = nullptr;
  return true;
}

} // namespace

bool platform_is_readable(const void* address, std::size_t size) {
  if (address == nullptr)
    return false;
  if (size == 0)
    return true;
  auto first = reinterpret_cast<std::uintptr_t>(address);
  std::uintptr_t last = first + (size - 1);
  if (last < first)
    return false;

  static const auto page_size = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  std::uintptr_t pages = ((last & ~(page_size - 1)) - (first & ~(page_size - 1))) / page_size + 1;
  install_fault_handler();
  return probe_pages(first, pages, page_size);
}
