// capi-peer-direct and capi-peer-bridge: one end of a call that moves DATA_B3
// blocks through Debian's libcapi20 and a CAPI host. The two programs are
// built from this file and differ only in how they reach the library: the
// first links it, the second starts capi-bridge and speaks its frames. What
// a user would pick instead of the bridge, doing exactly the same work.
//
// Usage: capi-peer-... --port N (--receive | --send SECONDS) [--bridge PATH]
// The receiver registers, listens, prints "ready", takes the call and
// answers every DATA_B3_IND until the caller hangs up; it prints "received
// BLOCKS cpu OWN BRIDGE requests ...". The sender calls, keeps 7 blocks of 2048 bytes
// unconfirmed for SECONDS, hangs up and prints "sent BLOCKS in SECONDS cpu
// OWN BRIDGE requests ...". OWN and BRIDGE are the CPU seconds that this program and its
// bridge (0 when it links the library) spent while the blocks were moving;
// "requests ROUND_TRIPS GETS EMPTY" follow, counted over the same time.
// Exit status 0 when all went as it should, 1 otherwise.
#include "capi_bridge/capimsg.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#ifdef PEER_DIRECT
#include <capi20.h>
#include <sys/time.h>
#else
#include "child.hpp"
#endif

using namespace capimsg;

namespace {

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "capi-peer: %s\n", what.c_str());
  std::exit(1);
}

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

constexpr std::uint16_t block_size = 2048;
constexpr unsigned window = 7;
constexpr double patience = 5; // seconds without any message before giving up

unsigned appl_id = 0;

// Through a bridge: write calls that carried requests (each one round trip),
// Gets, and Gets that found nothing. All 0 for a program that links the library.
struct request_counts {
  std::uint64_t round_trips = 0;
  std::uint64_t gets = 0;
  std::uint64_t empty_gets = 0;
};
request_counts counts;

#ifdef PEER_DIRECT

// The library reads a full send buffer's worth whatever the message's length,
// and takes a DATA_B3_REQ's data from right behind the message.
unsigned char put_buffer[4096];

void open_application(int port, const std::string&) {
  char driver[] = "fritzbox";
  char host[] = "127.0.0.1";
  capi20ext_set_driver(driver);
  capi20ext_set_host(host);
  capi20ext_set_port(port);
  if (capi20_isinstalled() != 0 || capi20_register(2, window, block_size, &appl_id) != 0)
    fail("no application registered");
}

void send(const bytes& message, const bytes& payload) {
  std::memset(put_buffer, 0, message.size() + payload.size());
  std::memcpy(put_buffer, message.data(), message.size());
  if (!payload.empty())
    std::memcpy(put_buffer + message.size(), payload.data(), payload.size());
  unsigned info = capi20_put_message(appl_id, put_buffer);
  if (info != 0)
    fail("capi20_put_message: " + std::string(info_text(static_cast<std::uint16_t>(info))));
}

// The next incoming message, a DATA_B3_IND's data appended, into `in`.
void receive(bytes& in) {
  timeval wait = {static_cast<time_t>(patience), 0};
  unsigned char* m = nullptr;
  if (capi20_waitformessage(appl_id, &wait) != 0 || capi20_get_message(appl_id, &m) != 0)
    fail("nothing came");
  std::uint16_t length = get_u16(byte_view(m, 2), 0);
  in.assign(m, m + length);
  if (m[4] == command::data_b3 && m[5] == subcommand::ind && length >= data_b3_long_length) {
    const auto* data = reinterpret_cast<const unsigned char*>(get_u64(in, 22));
    in.insert(in.end(), data, data + get_u16(in, 16));
  }
}

void close_application() {
  capi20_release(appl_id);
}

double bridge_cpu_seconds() {
  return 0;
}

#else

child bridge;

// Replies are read through a buffer: one read takes all that have come.
std::uint8_t reply_buffer[1 << 16];
std::size_t reply_start = 0, reply_end = 0;

bool fill_replies(std::size_t wanted) {
  if (reply_end - reply_start >= wanted)
    return true;
  std::memmove(reply_buffer, reply_buffer + reply_start, reply_end - reply_start);
  reply_end -= reply_start;
  reply_start = 0;
  while (reply_end < wanted) {
    std::size_t got = read_some(bridge, reply_buffer + reply_end, sizeof reply_buffer - reply_end);
    if (got == 0)
      return false;
    reply_end += got;
  }
  return true;
}

// The next reply's info; its info, data and extra go into `body`.
std::uint32_t next_reply(bytes& body) {
  if (!fill_replies(4))
    fail("the bridge ended");
  std::size_t length = le32(reply_buffer + reply_start);
  if (length < 4 || length > sizeof reply_buffer - 4 || !fill_replies(4 + length))
    fail("the bridge's reply is cut short");
  body.assign(reply_buffer + reply_start + 4, reply_buffer + reply_start + 4 + length);
  reply_start += 4 + length;
  return le32(body.data());
}

// Put requests written but not yet answered.
bytes out;
unsigned puts_in_flight = 0;

void open_application(int port, const std::string& bridge_path) {
  bridge = start_child({bridge_path}, {});
  bytes open = open_frame("127.0.0.1", static_cast<std::uint16_t>(port));
  bytes reply;
  if (!write_all(bridge, open.data(), open.size()) || read_reply(bridge, reply) != 0 ||
      reply.size() < 8)
    fail("no application registered");
  appl_id = le32(reply.data() + 4);
}

// Puts wait to go out with the next Get, in one write.
void send(const bytes& message, const bytes& payload) {
  bytes request = put_frame(message, payload);
  out.insert(out.end(), request.begin(), request.end());
  ++puts_in_flight;
}

// Messages that a batch of Gets brought and that are not yet handed out.
std::vector<bytes> fetched;
std::size_t fetched_next = 0;
constexpr std::size_t most_gets_per_batch = window + 1;

// Hands out the next incoming message. The bridge never waits for one, so
// Gets go out in batches, behind the Puts waiting to go: one round trip
// brings what has come meanwhile. A batch asks for one message more than the
// last one brought, up to a window's worth; after a batch that brings nothing
// the CPU goes to the others (the host, the other end) for a moment.
void receive(bytes& in) {
  static std::size_t last_brought = 0;
  bytes get = get_frame();
  double give_up = now_seconds() + patience;
  while (fetched_next == fetched.size()) {
    fetched.clear();
    fetched_next = 0;
    std::size_t gets = std::min(last_brought + 1, most_gets_per_batch);
    for (std::size_t i = 0; i < gets; ++i)
      out.insert(out.end(), get.begin(), get.end());
    if (!write_all(bridge, out.data(), out.size()))
      fail("the bridge stopped reading");
    out.clear();
    ++counts.round_trips;
    counts.gets += gets;
    for (; puts_in_flight > 0; --puts_in_flight) {
      std::uint32_t info = next_reply(in);
      if (info != 0)
        fail("Put: " + std::string(info_text(static_cast<std::uint16_t>(info))));
    }
    for (std::size_t i = 0; i < gets; ++i) {
      std::uint32_t info = next_reply(in);
      if (info == 0) {
        in.erase(in.begin(), in.begin() + 4);
        fetched.push_back(in);
      } else if (info != info::queue_empty) {
        fail("Get: " + std::string(info_text(static_cast<std::uint16_t>(info))));
      }
    }
    last_brought = fetched.size();
    counts.empty_gets += gets - fetched.size();
    if (fetched.empty()) {
      if (now_seconds() > give_up)
        fail("nothing came");
      usleep(50);
    }
  }
  in = fetched[fetched_next++];
}

double bridge_cpu_seconds() {
  std::ifstream schedstat("/proc/" + std::to_string(bridge.id()) + "/schedstat");
  double nanoseconds = 0;
  schedstat >> nanoseconds;
  return nanoseconds / 1e9;
}

// Answers still waiting go out first, with the Close.
void close_application() {
  bytes close = frame({'C'});
  out.insert(out.end(), close.begin(), close.end());
  write_all(bridge, out.data(), out.size());
  bytes reply;
  for (; puts_in_flight > 0; --puts_in_flight)
    next_reply(reply);
  next_reply(reply);
  finish_child(bridge);
}

#endif

double own_cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// CPU seconds of this program and of its bridge, and its requests, while
// the blocks move.
struct cpu_use {
  double own = 0;
  double bridge = 0;
  request_counts requests;
  void start() {
    own -= own_cpu_seconds();
    bridge -= bridge_cpu_seconds();
    requests = counts;
  }
  void stop() {
    own += own_cpu_seconds();
    bridge += bridge_cpu_seconds();
    requests.round_trips = counts.round_trips - requests.round_trips;
    requests.gets = counts.gets - requests.gets;
    requests.empty_gets = counts.empty_gets - requests.empty_gets;
  }
};

std::uint16_t number = 0;

bytes with_number(bytes m) {
  put_u16(m, 2, static_cast<std::uint16_t>(appl_id));
  put_u16(m, 6, ++number);
  return m;
}

void answer(std::uint8_t command, std::uint32_t address) {
  send(with_number(build_address_only(0, 0, command, subcommand::resp, address)), {});
}

bool is(const bytes& m, std::uint8_t command, std::uint8_t subcommand) {
  return m.size() >= header_length && m[4] == command && m[5] == subcommand;
}

// What either side does with a block it gets: reads every byte.
std::uint64_t data_sum = 0;
void consume(const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, 8);
    data_sum += word;
  }
}

int receive_call() {
  capimsg::listen_req listen;
  listen.controller = 1;
  listen.cip_mask = 0x1FFF03FF;
  send(with_number(build_listen_req(0, 0, listen)), {});
  bytes in;
  receive(in);
  if (!is(in, command::listen, subcommand::conf) || read_conf(in).value_or(conf{0, 1}).info != 0)
    fail("LISTEN_REQ refused");
  std::printf("ready\n");
  std::fflush(stdout);

  std::uint64_t blocks = 0;
  cpu_use cpu;
  for (;;) {
    receive(in);
    if (is(in, command::data_b3, subcommand::ind)) {
      if (blocks == 0)
        cpu.start();
      auto d = read_data_b3(in);
      if (!d || d->fields.data.size() != block_size)
        fail("a DATA_B3_IND without its block");
      consume(d->fields.data.data(), d->fields.data.size());
      ++blocks;
      send(with_number(build_data_b3_resp(0, 0, {d->fields.ncci, d->fields.handle})), {});
    } else if (is(in, command::connect, subcommand::ind)) {
      connect_resp accept;
      accept.plci = read_address(in).value_or(0);
      send(with_number(build_connect_resp(0, 0, accept)), {});
    } else if (is(in, command::connect_b3, subcommand::ind)) {
      connect_b3_resp accept;
      accept.ncci = read_address(in).value_or(0);
      send(with_number(build_connect_b3_resp(0, 0, accept)), {});
    } else if (in.size() >= header_length && in[5] == subcommand::ind) {
      // CONNECT_ACTIVE_IND, CONNECT_B3_ACTIVE_IND, DISCONNECT_B3_IND, DISCONNECT_IND
      if (in[4] == command::disconnect_b3 && blocks > 0)
        cpu.stop();
      answer(in[4], read_address(in).value_or(0));
      if (in[4] == command::disconnect)
        break;
    }
  }
  std::printf("received %llu cpu %.6f %.6f requests %llu %llu %llu\n",
              static_cast<unsigned long long>(blocks), cpu.own, cpu.bridge,
              static_cast<unsigned long long>(cpu.requests.round_trips),
              static_cast<unsigned long long>(cpu.requests.gets),
              static_cast<unsigned long long>(cpu.requests.empty_gets));
  return 0;
}

int send_call(double seconds) {
  connect_req call;
  call.controller = 1;
  call.cip = 1;
  call.called.type_plan = 0x01;
  call.called.digits = "100";
  send(with_number(build_connect_req(0, 0, call)), {});

  std::uint32_t plci = 0, ncci = 0;
  std::uint64_t sent = 0, confirmed = 0;
  double start = 0, end = 0;
  bool sending = false, hung_up = false;
  cpu_use cpu;
  // One DATA_B3_REQ per Data handle, its block behind it, made once.
  bytes blocks[window];
  std::uint16_t handle = 0;
  auto send_block = [&] {
    bytes& m = blocks[handle];
    put_u16(m, 6, ++number);
    send(m, {});
    handle = static_cast<std::uint16_t>((handle + 1) % window);
    ++sent;
  };

  bytes in;
  for (;;) {
    receive(in);
    if (is(in, command::data_b3, subcommand::conf)) {
      auto c = read_data_b3_conf(in);
      if (!c || c->info != 0)
        fail("a block was refused");
      ++confirmed;
      if (now_seconds() < start + seconds) {
        send_block();
      } else if (confirmed == sent && !hung_up) {
        end = now_seconds();
        cpu.stop();
        send(with_number(build_disconnect_req(0, 0, plci)), {});
        hung_up = true;
      }
    } else if (is(in, command::connect, subcommand::conf)) {
      auto c = read_conf(in);
      if (!c || c->info != 0)
        fail("CONNECT_REQ refused");
      plci = c->address;
    } else if (is(in, command::connect_active, subcommand::ind)) {
      answer(command::connect_active, plci);
      send(with_number(build_b3_ncpi(0, 0, command::connect_b3, subcommand::req, {plci, {}})), {});
    } else if (is(in, command::connect_b3, subcommand::conf)) {
      auto c = read_conf(in);
      if (!c || c->info != 0)
        fail("CONNECT_B3_REQ refused");
      ncci = c->address;
    } else if (is(in, command::connect_b3_active, subcommand::ind)) {
      answer(command::connect_b3_active, ncci);
      if (!sending) {
        for (std::uint16_t h = 0; h < window; ++h) {
          data_b3 block;
          block.ncci = ncci;
          block.handle = h;
          block.data64 = 0;
          block.data.resize(block_size);
          for (std::size_t i = 0; i < block.data.size(); ++i)
            block.data[i] = static_cast<std::uint8_t>(i * 7 + h);
          blocks[h] = with_number(build_data_b3(0, 0, subcommand::req, block));
        }
        sending = true;
        start = now_seconds();
        cpu.start();
        for (unsigned i = 0; i < window; ++i)
          send_block();
      }
    } else if (in.size() >= header_length && in[5] == subcommand::ind) {
      answer(in[4], read_address(in).value_or(0));
      if (in[4] == command::disconnect) {
        if (!hung_up)
          fail("the call ended before the data was through");
        break;
      }
    } else if (in.size() >= header_length && in[5] == subcommand::conf) {
      auto c = read_conf(in);
      if (!c || c->info != 0)
        fail(describe(in));
    }
  }
  std::printf("sent %llu in %.6f cpu %.6f %.6f requests %llu %llu %llu\n",
              static_cast<unsigned long long>(confirmed), end - start, cpu.own, cpu.bridge,
              static_cast<unsigned long long>(cpu.requests.round_trips),
              static_cast<unsigned long long>(cpu.requests.gets),
              static_cast<unsigned long long>(cpu.requests.empty_gets));
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  int port = 0;
  double seconds = -1;
  std::string bridge_path;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool has_value = i + 1 < argc;
    if (a == "--port" && has_value)
      port = std::atoi(argv[++i]);
    else if (a == "--send" && has_value)
      seconds = std::atof(argv[++i]);
    else if (a == "--bridge" && has_value)
      bridge_path = argv[++i];
    else if (a != "--receive")
      fail("usage: capi-peer-... --port N (--receive | --send SECONDS) [--bridge PATH]");
  }
  if (port <= 0)
    fail("usage: capi-peer-... --port N (--receive | --send SECONDS) [--bridge PATH]");
  open_application(port, bridge_path);
  int status = seconds >= 0 ? send_call(seconds) : receive_call();
  close_application();
  std::fflush(stdout);
  return status;
}
