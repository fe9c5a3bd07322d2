// SPDX-License-Identifier: MIT
// capi-peer-direct and capi-peer-bridge: one application doing a call's work
// through Debian's libcapi20 and a CAPI host, for the benchmark. The two
// programs are built from this file and differ only in how they reach the
// library (peer.hpp): the first links it, the second starts capi-bridge and
// drives it through the C++ client library. What a user would pick instead
// of the bridge, doing exactly the same work.
//
// Usage: capi-peer-... --port N [--bridge PATH] [--get poll|backoff|khz|wait]
//                      [--nodelay] [--latencies FILE] [--controller N] WORK
// WORK is one of:
//   --receive        listen, print "ready", take the call and answer every
//                    DATA_B3_IND until the caller hangs up; print "received
//                    BLOCKS cpu OWN BRIDGE requests ROUND_TRIPS GETS EMPTY".
//   --send SECONDS   call --receive's peer and keep 7 blocks of 2048 bytes
//                    unconfirmed for SECONDS, hang up; print "sent BLOCKS in
//                    SECONDS cpu ... requests ...".
//   --paced SECONDS  the same call, one block of 1000 bytes at a time at
//                    random intervals of 30 to 70 ms, each stamped with the
//                    time it is put; print "sent BLOCKS in SECONDS cpu ...".
//   --echo SECONDS   call the host's echo number and send one block of 1000
//                    bytes at a time, the next when the last has come back,
//                    its DATA_B3_RESP put just before; print "echoed BLOCKS
//                    cpu ... requests ...".
//   --idle SECONDS   register and wait for messages that never come, a
//                    second at a time; print "idle cpu ... requests ...".
//   --live           call the echo number on --controller and send 8 blocks
//                    of 1000 bytes a second until standard input ends, then
//                    hang up; print "ready BRIDGE_PID" once the call is up and
//                    "live sent BLOCKS received BLOCKS" at the end.
// OWN and BRIDGE are the CPU seconds that this program and its bridge (0
// when it links the library) spent while the blocks moved, or while idle;
// the requests to the bridge are counted over the same time (peer.hpp).
// --latencies FILE: the receiver writes there, one per line, the nanoseconds
// from each block's stamp to holding its DATA_B3_IND; --echo the round trip
// of each block. --get: how a peer behind a bridge waits (peer.hpp). --nodelay:
// a peer that links the library sets TCP_NODELAY on its socket.
// Exit status 0 when all went as it should, 1 otherwise.
#include "peer.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

using namespace capimsg;

namespace {

constexpr std::uint16_t bulk_block_size = 2048;
constexpr std::uint16_t call_block_size = 1000; // a call's block: 1000 bytes, 8 a second
constexpr unsigned window = 7;
constexpr double patience = 5; // seconds without any message before giving up
constexpr double live_period = 0.125;
const char* const echo_number = "999"; // the emulated host's
const char* const peer_number = "100"; // any other number rings every listener

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::uint64_t now_nanoseconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::uint64_t>(t.tv_sec) * 1000000000 + static_cast<std::uint64_t>(t.tv_nsec);
}

void receive(bytes& in) {
  if (!receive_until(in, now_seconds() + patience))
    fail("nothing came");
}

// CPU seconds of this program and of its bridge, and its requests, while
// the blocks move.
struct cpu_use {
  double own = 0;
  double bridge = 0;
  request_counts requests;
  void start() {
    own -= cpu_seconds();
    bridge -= bridge_cpu_seconds();
    requests = counts;
  }
  void stop() {
    own += cpu_seconds();
    bridge += bridge_cpu_seconds();
    requests.round_trips = counts.round_trips - requests.round_trips;
    requests.gets = counts.gets - requests.gets;
    requests.empty_gets = counts.empty_gets - requests.empty_gets;
  }
  // " cpu OWN BRIDGE requests ROUND_TRIPS GETS EMPTY"
  void print_tail() const {
    std::printf(" cpu %.6f %.6f requests %llu %llu %llu\n", own, bridge,
                static_cast<unsigned long long>(requests.round_trips),
                static_cast<unsigned long long>(requests.gets),
                static_cast<unsigned long long>(requests.empty_gets));
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

void check_conf(const bytes& m) {
  auto c = read_conf(m);
  if (!c || c->info != 0)
    fail(describe(m));
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

// Times in nanoseconds, written to a file at the end.
std::vector<std::uint64_t> latencies;
std::string latency_file;

void write_latencies() {
  if (latency_file.empty())
    return;
  FILE* f = std::fopen(latency_file.c_str(), "w");
  if (f == nullptr)
    fail("cannot write " + latency_file);
  for (std::uint64_t t : latencies)
    std::fprintf(f, "%llu\n", static_cast<unsigned long long>(t));
  std::fclose(f);
}

// A block's stamp: the time it was put, in its first 8 bytes.
void stamp(bytes& block_request) {
  std::uint64_t now = now_nanoseconds();
  std::memcpy(block_request.data() + data_b3_long_length, &now, sizeof now);
}

// DATA_B3_REQs, one per Data handle, each with its block behind it.
struct block_set {
  bytes requests[window];
  std::uint16_t handle = 0;
  std::uint64_t sent = 0;

  block_set(std::uint32_t ncci, std::uint16_t size) {
    for (std::uint16_t h = 0; h < window; ++h) {
      data_b3 block;
      block.ncci = ncci;
      block.handle = h;
      block.data64 = 0;
      block.data.resize(size);
      for (std::size_t i = 0; i < block.data.size(); ++i)
        block.data[i] = static_cast<std::uint8_t>(i * 7 + h);
      requests[h] = with_number(build_data_b3(0, 0, subcommand::req, block));
    }
  }
  // The next block goes out (stamped with the time when `stamped`).
  void send_next(bool stamped) {
    bytes& m = requests[handle];
    put_u16(m, 6, ++number);
    if (stamped)
      stamp(m);
    send(m, {});
    handle = static_cast<std::uint16_t>((handle + 1) % window);
    ++sent;
  }
};

// A call this application placed, with its B3 connection up.
struct placed_call {
  std::uint32_t plci = 0;
  std::uint32_t ncci = 0;
};

placed_call place_call(const char* called, std::uint32_t controller) {
  connect_req call;
  call.controller = controller;
  call.cip = 1;
  call.called.type_plan = 0x01;
  call.called.digits = called;
  send(with_number(build_connect_req(0, 0, call)), {});
  placed_call c;
  bytes in;
  for (;;) {
    receive(in);
    if (is(in, command::connect, subcommand::conf)) {
      check_conf(in);
      c.plci = read_conf(in)->address;
    } else if (is(in, command::connect_active, subcommand::ind)) {
      answer(command::connect_active, c.plci);
      send(with_number(build_b3_ncpi(0, 0, command::connect_b3, subcommand::req, {c.plci, {}})),
           {});
    } else if (is(in, command::connect_b3, subcommand::conf)) {
      check_conf(in);
      c.ncci = read_conf(in)->address;
    } else if (is(in, command::connect_b3_active, subcommand::ind)) {
      answer(command::connect_b3_active, c.ncci);
      return c;
    } else if (is(in, command::disconnect, subcommand::ind)) {
      fail("the call was not answered: " + describe(in));
    } else if (in.size() >= header_length && in[5] == subcommand::conf) {
      check_conf(in);
    }
  }
}

// Hangs up; what still comes back before the call has ended is answered.
void hang_up(const placed_call& c) {
  send(with_number(build_disconnect_req(0, 0, c.plci)), {});
  bytes in;
  for (;;) {
    receive(in);
    if (is(in, command::data_b3, subcommand::ind)) {
      auto d = read_data_b3(in);
      send(with_number(build_data_b3_resp(0, 0, {d->fields.ncci, d->fields.handle})), {});
    } else if (in.size() >= header_length && in[5] == subcommand::ind) {
      answer(in[4], read_address(in).value_or(0));
      if (in[4] == command::disconnect)
        return;
    } else if (in.size() >= header_length && in[5] == subcommand::conf &&
               in[4] != command::data_b3) {
      check_conf(in);
    }
  }
}

// The DATA_B3_IND's block, checked for its size.
const bytes& block_of(const std::optional<data_b3_read>& d, std::uint16_t size) {
  if (!d || d->fields.data.size() != size)
    fail("a DATA_B3_IND without its block");
  return d->fields.data;
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
      std::uint64_t held = now_nanoseconds();
      if (blocks == 0)
        cpu.start();
      auto d = read_data_b3(in);
      if (!d ||
          (d->fields.data.size() != bulk_block_size && d->fields.data.size() != call_block_size))
        fail("a DATA_B3_IND without its block");
      const bytes& block = d->fields.data;
      if (!latency_file.empty()) {
        std::uint64_t stamped = 0;
        std::memcpy(&stamped, block.data(), sizeof stamped);
        latencies.push_back(held - stamped);
      }
      consume(block.data(), block.size());
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
  write_latencies();
  std::printf("received %llu", static_cast<unsigned long long>(blocks));
  cpu.print_tail();
  return 0;
}

// The window of 7 kept full for `seconds`, or with `paced` one block at a
// time at random intervals of 30 to 70 ms.
int send_call(double seconds, bool paced) {
  placed_call c = place_call(peer_number, 1);
  block_set blocks(c.ncci, paced ? call_block_size : bulk_block_size);
  std::mt19937 random(static_cast<unsigned>(getpid()));
  std::uniform_real_distribution<double> interval(0.030, 0.070);
  std::uint64_t confirmed = 0;
  cpu_use cpu;
  double start = now_seconds(), end = start + seconds, next = start;
  cpu.start();
  if (!paced)
    for (unsigned i = 0; i < window; ++i)
      blocks.send_next(false);
  bytes in;
  while (!paced || next < end || confirmed < blocks.sent) {
    bool got = receive_until(in, paced && next < end ? next : now_seconds() + patience);
    if (!got && paced && next < end) {
      blocks.send_next(true);
      next += interval(random);
      continue;
    }
    if (!got)
      fail("nothing came");
    if (!is(in, command::data_b3, subcommand::conf))
      fail("unexpected during the data: " + describe(in));
    auto conf = read_data_b3_conf(in);
    if (!conf || conf->info != 0)
      fail("a block was refused");
    ++confirmed;
    if (!paced && now_seconds() < end)
      blocks.send_next(false);
    else if (!paced && confirmed == blocks.sent)
      break;
  }
  end = now_seconds();
  cpu.stop();
  hang_up(c);
  std::printf("sent %llu in %.6f", static_cast<unsigned long long>(confirmed), end - start);
  cpu.print_tail();
  return 0;
}

// An interactive echo: each block's DATA_B3_IND is answered, and the next
// block put right after the answer.
int echo_call(double seconds) {
  placed_call c = place_call(echo_number, 1);
  block_set blocks(c.ncci, call_block_size);
  std::uint64_t echoed = 0, confirmed = 0, put_at = now_nanoseconds();
  cpu_use cpu;
  double end = now_seconds() + seconds;
  cpu.start();
  blocks.send_next(false);
  bytes in;
  while (confirmed < blocks.sent || echoed < blocks.sent) {
    receive(in);
    if (is(in, command::data_b3, subcommand::ind)) {
      latencies.push_back(now_nanoseconds() - put_at);
      auto d = read_data_b3(in);
      const bytes& block = block_of(d, call_block_size);
      consume(block.data(), block.size());
      ++echoed;
      send(with_number(build_data_b3_resp(0, 0, {d->fields.ncci, d->fields.handle})), {});
      if (now_seconds() < end) {
        put_at = now_nanoseconds();
        blocks.send_next(false);
      }
    } else if (is(in, command::data_b3, subcommand::conf)) {
      auto conf = read_data_b3_conf(in);
      if (!conf || conf->info != 0)
        fail("a block was refused");
      ++confirmed;
    } else {
      fail("unexpected during the echo: " + describe(in));
    }
  }
  cpu.stop();
  hang_up(c);
  write_latencies();
  std::printf("echoed %llu", static_cast<unsigned long long>(echoed));
  cpu.print_tail();
  return 0;
}

int stay_idle(double seconds) {
  cpu_use cpu;
  cpu.start();
  double end = now_seconds() + seconds;
  bytes in;
  for (double now = now_seconds(); now < end; now = now_seconds())
    if (receive_until(in, std::min(end, now + 1)))
      fail("a message came to an idle application: " + describe(in));
  cpu.stop();
  std::printf("idle %.3f", seconds);
  cpu.print_tail();
  return 0;
}

// True once standard input has ended (or brought anything at all).
bool told_to_stop() {
  pollfd input = {STDIN_FILENO, POLLIN, 0};
  return poll(&input, 1, 0) != 0;
}

int live_call(std::uint32_t controller) {
  placed_call c = place_call(echo_number, controller);
  block_set blocks(c.ncci, call_block_size);
  std::printf("ready %ld\n", bridge_process_id());
  std::fflush(stdout);
  std::uint64_t received = 0;
  double next = now_seconds();
  bytes in;
  while (!told_to_stop()) {
    blocks.send_next(false);
    next += live_period;
    while (receive_until(in, next)) {
      if (is(in, command::data_b3, subcommand::ind)) {
        auto d = read_data_b3(in);
        const bytes& block = block_of(d, call_block_size);
        consume(block.data(), block.size());
        ++received;
        send(with_number(build_data_b3_resp(0, 0, {d->fields.ncci, d->fields.handle})), {});
      } else if (is(in, command::data_b3, subcommand::conf)) {
        auto conf = read_data_b3_conf(in);
        if (!conf || conf->info != 0)
          fail("a block was refused");
      } else {
        fail("unexpected during the call: " + describe(in));
      }
    }
  }
  hang_up(c);
  std::printf("live sent %llu received %llu\n", static_cast<unsigned long long>(blocks.sent),
              static_cast<unsigned long long>(received));
  return 0;
}

} // namespace

double now_seconds() {
  return static_cast<double>(now_nanoseconds()) / 1e9;
}

void fail(const std::string& what) {
  std::fprintf(stderr, "capi-peer: %s\n", what.c_str());
  std::exit(1);
}

int main(int argc, char** argv) {
  const char* usage = "usage: capi-peer-... --port N [--bridge PATH] [--get poll|backoff|khz|wait] "
                      "[--nodelay] [--latencies FILE] [--controller N] (--receive | --send S | "
                      "--paced S | --echo S | --idle S | --live)";
  peer_options options;
  std::string work;
  double seconds = 0;
  unsigned long controller = 1;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool has_value = i + 1 < argc;
    if (a == "--port" && has_value)
      options.port = std::atoi(argv[++i]);
    else if ((a == "--send" || a == "--paced" || a == "--echo" || a == "--idle") && has_value) {
      work = a;
      seconds = std::atof(argv[++i]);
    } else if (a == "--receive" || a == "--live")
      work = a;
    else if (a == "--bridge" && has_value)
      options.bridge_path = argv[++i];
    else if (a == "--get" && has_value) {
      std::string m = argv[++i];
      if (m == "poll")
        options.mode = get_mode::poll;
      else if (m == "backoff")
        options.mode = get_mode::backoff;
      else if (m == "khz")
        options.mode = get_mode::khz;
      else if (m == "wait")
        options.mode = get_mode::wait;
      else
        fail(usage);
    } else if (a == "--nodelay")
      options.nodelay = true;
    else if (a == "--latencies" && has_value)
      latency_file = argv[++i];
    else if (a == "--controller" && has_value)
      controller = std::strtoul(argv[++i], nullptr, 10);
    else
      fail(usage);
  }
  if (options.port <= 0 || work.empty())
    fail(usage);
  open_application(options);
  int status = 0;
  if (work == "--receive")
    status = receive_call();
  else if (work == "--send" || work == "--paced")
    status = send_call(seconds, work == "--paced");
  else if (work == "--echo")
    status = echo_call(seconds);
  else if (work == "--idle")
    status = stay_idle(seconds);
  else
    status = live_call(static_cast<std::uint32_t>(controller));
  close_application();
  std::fflush(stdout);
  return status;
}
