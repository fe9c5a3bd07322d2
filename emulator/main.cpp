// SPDX-License-Identifier: MIT
// capi-host-emulator: an emulated CAPI host on 127.0.0.1 for libcapi20's
// network driver. Options, the single-threaded poll loop, framing, the
// library's own requests and the fault switches; the calls are exchange.cpp's.
#include "capi_bridge/capimsg.hpp"
#include "exchange.hpp"
#include "library_requests.hpp"
#include "toolkit/command_line.hpp"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

const char usage_text[] =
    R"(Usage: capi-host-emulator [OPTION]...
An emulated CAPI 2.0 host for libcapi20's "fritzbox" network driver. It
listens on 127.0.0.1, prints "listening 127.0.0.1:PORT" on standard output
once ready (and nothing else there), and runs a small exchange between the
applications that register with it.

  -h, --help               print this help and exit
  -V, --version            print the version and exit
      --port=N             TCP port, 0..65534; 0 (the default) picks a free one
      --controllers=N      number of controllers, 1..127 (default 1), 2 B
                           channels each
      --first-appl-id=N    lowest application ID handed out, 1..1023
                           (default 1); IDs are unique across all live
                           connections. 0 is a fault: the first
                           application gets ID 0, which the library
                           accepts and then refuses in every call
      --exit-after=SECONDS
                           stop by itself after that many seconds
      --echo-number=DIGITS
                           called number that answers by itself and sends
                           every data block back (default 999)
      --verbose            one line per message and per event on standard
                           error

Fault switches:
      --refuse-register=INFO  answer every register request with this
                           non-zero info (decimal, or hexadecimal with 0x)
      --silent-register    take register requests and never answer them
      --drop-after=N       count the CAPI messages received over all
                           connections (register, release and get-profile
                           requests do not count); answer the N-th as usual,
                           then close every open connection, the control
                           connection included, once the answers are out;
                           later connections are served normally
      --stall-after=N      answer the N-th CAPI message (counted the same
                           way), then answer nothing more, not even register
                           or profile requests, while keeping every
                           connection open
      --oversized-after=N  answer the N-th CAPI message (counted the same
                           way), then send one frame of 5,000 bytes on its
                           connection, more than the library can read
      --vanish-after=N     answer the N-th CAPI message (counted the same
                           way), then vanish without closing anything: every
                           connection drops whatever arrives, keepalive
                           probes included, and nothing more is sent, as when
                           a cable is pulled. The answer is acknowledged
                           first, so that the connections fall silent
      --vanish-sending     with --vanish-after: vanish just before the answer
                           goes out, so that it is never acknowledged and
                           the host's side keeps retransmitting it
      --inject-after=N     answer the N-th CAPI message (counted the same
                           way), then write the bytes of --inject, as they
                           are, on its connection; 0: on every
                           application's connection, right after its
                           registration
      --inject=HEX         those bytes, in hexadecimal (spaces allowed): a
                           frame of a faulty or hostile host, whole frames
                           header included; nothing checks them

The exchange: LISTEN_REQ sets a controller's CIP mask. CONNECT_REQ to any
number but the echo number rings every other application listening on that
controller for the call's CIP value; the first CONNECT_RESP accepting it gets
the call, the others get DISCONNECT_IND 0x3304. No listener: DISCONNECT_IND
0x3481; every listener ignoring it: 0x3492; a rejection: its cause. A call
without calling number shows the caller's application ID. B3 is transparent;
data blocks are confirmed once indicated to the peer, at most 7 unanswered
DATA_B3_INDs per direction. Unhandled requests are confirmed with an error.

Stops on SIGTERM or SIGINT. Exit status: 0 on a clean stop, 1 if it cannot
listen, 2 on bad usage.
)";

// Output waiting for a connection beyond this stops reading from it, so a
// client that reads nothing cannot make the emulator grow without bound.
constexpr std::size_t output_limit = 1 << 20;
constexpr std::size_t largest_frame = 4096;
constexpr int drop_flush_ms = 1000;
constexpr std::size_t oversized_frame = 5000;

struct options {
  unsigned long port = 0;
  unsigned long controllers = 1;
  unsigned long first_appl_id = 1;
  unsigned long exit_after = 0; // 0: never
  std::string echo_number = "999";
  bool verbose = false;
  unsigned long refuse_register = 0;
  bool silent_register = false;
  unsigned long drop_after = 0;
  unsigned long stall_after = 0;
  unsigned long inject_after = 0;
  bool inject_at_register = false; // --inject-after=0
  capimsg::bytes inject;
  unsigned long oversized_after = 0;
  unsigned long vanish_after = 0;
  bool vanish_sending = false;
};

struct connection {
  int fd = -1;
  capimsg::bytes in;
  capimsg::bytes out;
  std::uint16_t appl_id = 0; // for the log
};

struct host {
  options opt;
  std::map<int, connection> connections; // by connection number
  int next_connection = 1;
  exchange ex;
  unsigned long capi_messages = 0;
  bool stalled = false;
  bool drop_now = false;
  bool dropped = false;
  bool vanish_now = false;
  bool vanished = false;
};

volatile std::sig_atomic_t stop_signal = 0;

void on_signal(int signal_number) {
  stop_signal = signal_number;
}

bool parse_hex(const char* text, capimsg::bytes& out) {
  std::string digits;
  for (const char* c = text; *c != '\0'; ++c)
    if (*c != ' ')
      digits += *c;
  if (digits.empty() || digits.size() % 2 != 0 ||
      digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    return false;
  for (std::size_t i = 0; i < digits.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return true;
}

// Returns the exit status to leave with, or nullopt to go on.
std::optional<int> parse_options(int argc, char** argv, options& opt) {
  enum : int {
    port = 256,
    controllers,
    first_appl_id,
    exit_after,
    echo_number,
    verbose,
    refuse_register,
    silent_register,
    drop_after,
    stall_after,
    oversized_after,
    vanish_after,
    vanish_sending,
    inject_after,
    inject,
  };
  const option long_options[] = {
      {"port", required_argument, nullptr, port},
      {"controllers", required_argument, nullptr, controllers},
      {"first-appl-id", required_argument, nullptr, first_appl_id},
      {"exit-after", required_argument, nullptr, exit_after},
      {"echo-number", required_argument, nullptr, echo_number},
      {"verbose", no_argument, nullptr, verbose},
      {"refuse-register", required_argument, nullptr, refuse_register},
      {"silent-register", no_argument, nullptr, silent_register},
      {"drop-after", required_argument, nullptr, drop_after},
      {"stall-after", required_argument, nullptr, stall_after},
      {"oversized-after", required_argument, nullptr, oversized_after},
      {"vanish-after", required_argument, nullptr, vanish_after},
      {"vanish-sending", no_argument, nullptr, vanish_sending},
      {"inject-after", required_argument, nullptr, inject_after},
      {"inject", required_argument, nullptr, inject},
      {nullptr, 0, nullptr, 0},
  };
  constexpr unsigned long most_messages = 1000000000;
  toolkit::command_line line("capi-host-emulator", usage_text, long_options);
  for (int o; (o = line.next(argc, argv)) != -1;) {
    switch (o) {
    case port:
      line.number(0, 65534, opt.port);
      break;
    case controllers:
      line.number(1, 127, opt.controllers);
      break;
    case first_appl_id:
      line.number(0, 1023, opt.first_appl_id);
      break;
    case exit_after:
      line.number(1, 86400, opt.exit_after);
      break;
    case echo_number:
      opt.echo_number = line.value();
      if (opt.echo_number.empty() || opt.echo_number.size() > 32)
        line.reject("1 to 32 digits expected");
      break;
    case verbose:
      opt.verbose = true;
      break;
    case refuse_register:
      line.number(1, 0xffff, opt.refuse_register, 0);
      break;
    case silent_register:
      opt.silent_register = true;
      break;
    case drop_after:
      line.number(1, most_messages, opt.drop_after);
      break;
    case stall_after:
      line.number(1, most_messages, opt.stall_after);
      break;
    case oversized_after:
      line.number(1, most_messages, opt.oversized_after);
      break;
    case vanish_after:
      line.number(1, most_messages, opt.vanish_after);
      break;
    case vanish_sending:
      opt.vanish_sending = true;
      break;
    case inject_after:
      line.number(0, most_messages, opt.inject_after);
      opt.inject_at_register = opt.inject_after == 0;
      break;
    case inject:
      opt.inject.clear();
      if (!parse_hex(line.value(), opt.inject))
        line.reject("an even number of hexadecimal digits expected");
      break;
    }
  }
  if ((opt.inject_after != 0 || opt.inject_at_register) != !opt.inject.empty())
    line.fail("--inject-after and --inject go together");
  if (opt.vanish_sending && opt.vanish_after == 0)
    line.fail("--vanish-sending needs --vanish-after");
  return line.finished();
}

void log_line(const host& h, const std::string& line) {
  if (h.opt.verbose) {
    std::fputs((line + "\n").c_str(), stderr);
  }
}

std::string who(const host& h, int id) {
  std::string s = "c";
  s += std::to_string(id);
  auto it = h.connections.find(id);
  if (it != h.connections.end() && it->second.appl_id != 0) {
    s += " appl=";
    s += std::to_string(it->second.appl_id);
  }
  return s;
}

std::string hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

// Moves what the exchange wants sent into the connections' output, framed.
void take_exchange_output(host& h, int from) {
  for (const std::string& text : h.ex.notes) {
    log_line(h, who(h, from) + " note: " + text);
  }
  h.ex.notes.clear();
  for (outgoing& o : h.ex.out) {
    auto it = h.connections.find(o.connection);
    if (it == h.connections.end()) {
      continue;
    }
    if (o.message.size() > largest_frame) {
      log_line(h, who(h, o.connection) + " error: frame too large for the library, not sent: " +
                      capimsg::describe(o.message));
      continue;
    }
    log_line(h, who(h, o.connection) + " -> " + capimsg::describe(o.message));
    capimsg::bytes& out = it->second.out;
    out.push_back(0x80);
    capimsg::append_u16(out, static_cast<std::uint16_t>(o.message.size()));
    out.insert(out.end(), o.message.begin(), o.message.end());
  }
  h.ex.out.clear();
}

void close_connection(host& h, int id, const std::string& why) {
  log_line(h, who(h, id) + " closed (" + why + ")");
  ::close(h.connections.at(id).fd);
  h.connections.erase(id);
  application_gone(h.ex, id);
  take_exchange_output(h, id);
}

void library_request_frame(host& h, int id, library_request kind, capimsg::byte_view payload) {
  connection& c = h.connections.at(id);
  switch (kind) {
  case library_request::register_application: {
    const registration r = read_registration(payload);
    std::uint16_t appl_id = 0;
    std::string line = who(h, id) +
                       " register max_logical=" + std::to_string(r.max_logical_connections) +
                       " blocks=" + std::to_string(r.max_b_data_blocks) +
                       " len=" + std::to_string(r.max_b_data_len);
    if (h.opt.silent_register) {
      log_line(h, line + ": not answered (--silent-register)");
      return;
    }
    const std::uint16_t info = h.opt.refuse_register != 0
                                   ? static_cast<std::uint16_t>(h.opt.refuse_register)
                                   : register_application(h.ex, id, r, appl_id);
    log_line(h, line + " -> appl=" + std::to_string(appl_id) + " info=" + hex4(info));
    c.appl_id = appl_id;
    capimsg::bytes reply = register_reply(appl_id, info);
    c.out.insert(c.out.end(), reply.begin(), reply.end());
    if (h.opt.inject_at_register && info == 0) {
      log_line(h, who(h, id) + " -> injected " + std::to_string(h.opt.inject.size()) + " bytes");
      c.out.insert(c.out.end(), h.opt.inject.begin(), h.opt.inject.end());
    }
    return;
  }
  case library_request::release:
    log_line(h, who(h, id) + " release");
    application_gone(h.ex, id);
    take_exchange_output(h, id);
    return;
  case library_request::get_profile: {
    const std::uint16_t controller = read_profile_controller(payload);
    log_line(h, who(h, id) + " get-profile ctrl=" + std::to_string(controller));
    capimsg::bytes reply = profile_reply(static_cast<unsigned>(h.opt.controllers), controller);
    c.out.insert(c.out.end(), reply.begin(), reply.end());
    return;
  }
  default:
    log_line(h, who(h, id) + " unknown library request, ignored");
    return;
  }
}

void frame_in(host& h, int id, capimsg::byte_view payload) {
  if (h.stalled) {
    log_line(h, who(h, id) + " stalled, not answered: " + capimsg::describe(payload));
    return;
  }
  const library_request kind = classify(payload);
  if (kind != library_request::none) {
    library_request_frame(h, id, kind, payload);
    return;
  }
  ++h.capi_messages;
  log_line(h, who(h, id) + " <- " + capimsg::describe(payload));
  handle_message(h.ex, id, payload);
  take_exchange_output(h, id);
  if (h.capi_messages == h.opt.stall_after) {
    h.stalled = true;
    log_line(h, "stalling after " + std::to_string(h.capi_messages) + " CAPI messages");
  }
  if (h.capi_messages == h.opt.drop_after && !h.dropped) {
    h.drop_now = true;
  }
  if (h.capi_messages == h.opt.oversized_after) {
    log_line(h,
             who(h, id) + " -> oversized frame of " + std::to_string(oversized_frame) + " bytes");
    capimsg::bytes& out = h.connections.at(id).out;
    out.push_back(0x80);
    capimsg::append_u16(out, static_cast<std::uint16_t>(oversized_frame));
    out.resize(out.size() + oversized_frame, 0);
  }
  if (h.capi_messages == h.opt.vanish_after) {
    h.vanish_now = true;
  }
  if (h.capi_messages == h.opt.inject_after) {
    log_line(h, who(h, id) + " -> injected " + std::to_string(h.opt.inject.size()) + " bytes");
    capimsg::bytes& out = h.connections.at(id).out;
    out.insert(out.end(), h.opt.inject.begin(), h.opt.inject.end());
  }
}

// Reads what is there and handles every complete frame: 0x80, LE16 length, payload.
void read_from(host& h, int id) {
  std::uint8_t buffer[65536];
  connection& c = h.connections.at(id);
  const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
  if (n == 0) {
    close_connection(h, id, "end of stream");
    return;
  }
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      close_connection(h, id, std::strerror(errno));
    }
    return;
  }
  c.in.insert(c.in.end(), buffer, buffer + n);
  std::size_t used = 0;
  while (c.in.size() - used >= 3 && !h.drop_now) {
    const std::size_t length = capimsg::get_u16(c.in, used + 1);
    if (c.in.size() - used - 3 < length) {
      break;
    }
    frame_in(h, id, capimsg::byte_view(c.in).subspan(used + 3, length));
    used += 3 + length;
  }
  c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(used));
}

void write_to(host& h, int id) {
  connection& c = h.connections.at(id);
  const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      close_connection(h, id, std::strerror(errno));
    }
    return;
  }
  c.out.erase(c.out.begin(), c.out.begin() + n);
}

void write_all_pending(host& h) {
  std::vector<int> ids;
  for (const auto& [id, c] : h.connections) {
    if (!c.out.empty()) {
      ids.push_back(id);
    }
  }
  for (int id : ids) {
    if (h.connections.count(id) != 0) {
      write_to(h, id);
    }
  }
}

// Bytes sent on `fd` and not yet acknowledged by the other side.
int unacknowledged(int fd) {
  int count = 0;
  return ::ioctl(fd, SIOCOUTQ, &count) == 0 ? count : 0;
}

// A socket filter that keeps nothing makes the kernel drop every segment that
// arrives on a connection before TCP sees it, so that not even a keepalive
// probe is acknowledged.
void drop_everything_arriving(host& h) {
  sock_filter keep_nothing = {BPF_RET | BPF_K, 0, 0, 0};
  sock_fprog program = {1, &keep_nothing};
  for (const auto& entry : h.connections) {
    ::setsockopt(entry.second.fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
  }
}

// --vanish-after: the answers already queued go out first and, unless
// --vanish-sending, are acknowledged before everything arriving is dropped;
// with it, everything arriving is dropped first, so that the answers are
// retransmitted for as long as the kernel tries. Then the emulator stops
// reading and writing.
void vanish(host& h) {
  if (h.opt.vanish_sending) {
    drop_everything_arriving(h);
  }
  for (int waited = 0; waited < drop_flush_ms; waited += 10) {
    write_all_pending(h);
    bool pending = false;
    for (const auto& entry : h.connections) {
      pending = pending || !entry.second.out.empty() ||
                (!h.opt.vanish_sending && unacknowledged(entry.second.fd) != 0);
    }
    if (!pending) {
      break;
    }
    ::poll(nullptr, 0, 10);
  }
  if (!h.opt.vanish_sending) {
    drop_everything_arriving(h);
  }
  log_line(h, "vanished after " + std::to_string(h.capi_messages) + " CAPI messages, " +
                  std::to_string(h.connections.size()) + " connections left open and silent" +
                  (h.opt.vanish_sending ? ", the last answers unacknowledged" : ""));
  h.vanish_now = false;
  h.vanished = true;
}

// --drop-after: the answers already queued go out whole first (a client that
// reads nothing holds this up for at most a second), then every connection closes.
void drop_all(host& h) {
  for (int waited = 0; waited < drop_flush_ms; waited += 10) {
    write_all_pending(h);
    bool pending = false;
    for (const auto& entry : h.connections) {
      pending = pending || !entry.second.out.empty();
    }
    if (!pending) {
      break;
    }
    ::poll(nullptr, 0, 10);
  }
  log_line(h, "dropping " + std::to_string(h.connections.size()) + " connections after " +
                  std::to_string(h.capi_messages) + " CAPI messages");
  while (!h.connections.empty()) {
    close_connection(h, h.connections.begin()->first, "dropped");
  }
  h.drop_now = false;
  h.dropped = true;
}

int open_listener(unsigned long port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 64) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int bound_port(int fd) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  return ntohs(address.sin_port);
}

void accept_connection(host& h, int listener) {
  const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    return;
  }
  // Frames are small and answered one by one: do not let them wait for each other.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const int id = h.next_connection++;
  h.connections[id].fd = fd;
  log_line(h, who(h, id) + " open");
}

long milliseconds_since(const timespec& start) {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

} // namespace

int main(int argc, char** argv) {
  host h;
  if (std::optional<int> status = parse_options(argc, argv, h.opt)) {
    return *status;
  }
  h.ex.settings.controllers = static_cast<unsigned>(h.opt.controllers);
  h.ex.settings.echo_number = h.opt.echo_number;
  h.ex.settings.first_appl_id = static_cast<std::uint16_t>(h.opt.first_appl_id);

  // The stop signals stay blocked except inside ppoll, so none slips in
  // between the check and the wait.
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t stop_signals;
  sigset_t wait_mask;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  ::sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);
  sigdelset(&wait_mask, SIGTERM);
  sigdelset(&wait_mask, SIGINT);

  const int listener = open_listener(h.opt.port);
  if (listener < 0) {
    std::fprintf(stderr, "capi-host-emulator: cannot listen on 127.0.0.1:%lu: %s\n", h.opt.port,
                 std::strerror(errno));
    return 1;
  }
  std::printf("listening 127.0.0.1:%d\n", bound_port(listener));
  std::fflush(stdout);

  timespec start{};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  const long exit_after_ms = static_cast<long>(h.opt.exit_after) * 1000;
  std::string reason = "signal";
  while (stop_signal == 0) {
    timespec timeout{};
    timespec* wait = nullptr;
    if (exit_after_ms > 0) {
      const long left = exit_after_ms - milliseconds_since(start);
      if (left <= 0) {
        reason = "--exit-after";
        break;
      }
      timeout.tv_sec = left / 1000;
      timeout.tv_nsec = (left % 1000) * 1000000;
      wait = &timeout;
    }
    std::vector<pollfd> fds{{listener, static_cast<short>(h.vanished ? 0 : POLLIN), 0}};
    std::vector<int> ids{0};
    for (const auto& [id, c] : h.connections) {
      if (h.vanished) {
        break;
      }
      short events = c.out.size() < output_limit ? POLLIN : 0;
      events = static_cast<short>(events | (c.out.empty() ? 0 : POLLOUT));
      fds.push_back({c.fd, events, 0});
      ids.push_back(id);
    }
    if (::ppoll(fds.data(), fds.size(), wait, &wait_mask) < 0) {
      continue; // EINTR: the loop condition looks at the signal
    }
    if ((fds[0].revents & POLLIN) != 0) {
      accept_connection(h, listener);
    }
    for (std::size_t i = 1; i < fds.size() && !h.drop_now; ++i) {
      if (h.connections.count(ids[i]) != 0 &&
          (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        read_from(h, ids[i]);
      }
    }
    // Vanishing writes what is pending itself, in its own order.
    if (h.vanish_now) {
      vanish(h);
    }
    write_all_pending(h);
    if (h.drop_now) {
      drop_all(h);
    }
  }
  if (stop_signal != 0) {
    reason = stop_signal == SIGINT ? "SIGINT" : "SIGTERM";
  }
  log_line(h, "exit (" + reason + ")");
  for (const auto& entry : h.connections) {
    ::close(entry.second.fd);
  }
  ::close(listener);
  return 0;
}
