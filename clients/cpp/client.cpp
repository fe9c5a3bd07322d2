// SPDX-License-Identifier: MIT
// The client's transport: the bridge started and ended, request frames
// written whole and in turn, reply frames read and handed to each thread in
// the order of the requests; the typed requests on top. What a reply means
// is replies.cpp's.
#include "client_detail.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

namespace capi_bridge {

using namespace client_detail;

namespace {

std::string kind_name(std::uint8_t kind) {
  switch (kind) {
  case 'O':
    return "Open";
  case 'P':
    return "Profile";
  case 'M':
    return "Put";
  case 'G':
    return "Get";
  case 'W':
    return "waiting Get";
  case 'B':
    return "batch";
  case 'C':
    return "Close";
  default:
    return "request '" + std::string(1, static_cast<char>(kind)) + "'";
  }
}

} // namespace

bytes open_request_body(const std::string& host, std::uint16_t port,
                        std::uint16_t max_logical_connections) {
  bytes body;
  body.reserve(5 + host.size());
  body.push_back('O');
  capimsg::append_u16(body, port);
  capimsg::append_u16(body, max_logical_connections);
  body.insert(body.end(), host.begin(), host.end());
  return body;
}

bytes put_request_body(byte_view message, byte_view payload) {
  bytes body{'M'};
  body.reserve(1 + message.size() + payload.size());
  body.insert(body.end(), message.begin(), message.end());
  body.insert(body.end(), payload.begin(), payload.end());
  return body;
}

bytes batch_request_body(std::chrono::milliseconds wait, std::uint16_t most,
                         std::uint32_t most_bytes) {
  bytes body{'B'};
  // The bridge counts more than 60 s as 60 s.
  capimsg::append_u32(body, static_cast<std::uint32_t>(std::clamp<std::chrono::milliseconds::rep>(
                                wait.count(), 0, 0xFFFFFFFF)));
  capimsg::append_u16(body, most);
  capimsg::append_u32(body, most_bytes);
  return body;
}

void append_request_frame(bytes& frames, byte_view body) {
  capimsg::append_u32(frames, static_cast<std::uint32_t>(body.size()));
  frames.insert(frames.end(), body.begin(), body.end());
}

client::client(client_options options)
    : s_(std::make_unique<shared>()), options_(std::move(options)) {
  if (!process_.start({options_.command, options_.environment, options_.stderr_path,
                       options_.unset_environment, options_.hidden_from_wait})) {
    s_->gone = true;
    s_->gone_reason = process_.error();
  }
}

client::client(client&&) noexcept = default;
client& client::operator=(client&&) noexcept = default;

client::~client() {
  if (!process_.running())
    return;
  process_.close_input();
  if (!process_.wait(after(std::chrono::milliseconds(2000))))
    process_.kill();
}

bool client::usable() const {
  return !s_->gone;
}

std::string client::gone_reason() const {
  std::lock_guard lock(s_->gone_mutex);
  return s_->gone_reason;
}

std::uint32_t client::appl_id() const {
  return s_->appl_id;
}

std::uint16_t client::next_number() {
  // 1, 2, ... 65535, then 1 again: 0 is never handed out.
  std::uint16_t number = ++s_->message_number;
  while (number == 0)
    number = ++s_->message_number;
  return number;
}

outcome client::fail(const std::string& why) {
  shared& s = *s_;
  {
    std::lock_guard lock(s.gone_mutex);
    if (!s.gone) {
      s.gone_reason = why;
      s.gone = true;
    }
    // A thread of its own may be reading or writing: end the bridge under
    // it and leave reaping for later.
    if (s.in_flight > 1) {
      process_.kill_only();
    } else {
      process_.kill();
      exit_ = process_.wait(after(std::chrono::milliseconds(0)));
    }
  }
  s.reply_turn.notify_all();
  return {source::transport, 0, why};
}

outcome client::lost(io_result r, const std::string& what, std::chrono::milliseconds timeout,
                     const char* doing) {
  if (r == io_result::timed_out)
    return fail(what + ": no reply within " + std::to_string(timeout.count()) +
                " ms; the bridge was killed");
  std::string how = "the bridge ended";
  std::optional<exit_status> ended;
  if (s_->in_flight <= 1) {
    // The bridge went away: give it a moment to be reaped, so that the
    // report can say how it ended.
    std::lock_guard lock(s_->gone_mutex);
    ended = process_.wait(after(std::chrono::milliseconds(1000)));
  }
  if (ended && ended->exited)
    how += " with exit status " + std::to_string(ended->code);
  else if (ended && ended->signal != 0)
    how += " by signal " + std::to_string(ended->signal);
  return fail(what + ": " + (r == io_result::ended ? how : std::string("I/O error")) + " while " +
              doing);
}

bool client::exchange(const std::vector<byte_view>& bodies, std::chrono::milliseconds timeout,
                      std::vector<raw_reply>& outs,
                      const std::function<void(const raw_reply&)>* in_order) {
  shared& s = *s_;
  outs.assign(bodies.size(), raw_reply{});
  // A failure before a reply is taken is every request's.
  auto all_fail = [&](std::size_t from, const outcome& why) {
    for (std::size_t k = from; k < outs.size(); ++k)
      outs[k].status = why;
    return false;
  };
  auto not_in_use = [&](std::size_t from) {
    return all_fail(from,
                    {source::transport, 0, "the bridge is not in use any more: " + gone_reason()});
  };
  if (s.gone)
    return not_in_use(0);
  bytes frames;
  for (byte_view body : bodies) {
    if (body.empty() || body.size() > max_request_body)
      return all_fail(0, {source::transport, 0,
                          "a request body of " + std::to_string(body.size()) +
                              " bytes is outside 1..1048576; not sent"});
    append_request_frame(frames, body);
  }
  if (bodies.empty())
    return true;

  ++s.in_flight;
  struct leaving {
    std::atomic<int>& count;
    ~leaving() { --count; }
  } leave{s.in_flight};
  auto start = std::chrono::steady_clock::now();
  deadline until = start + timeout;
  std::uint64_t first = 0;
  std::unique_lock write_lock(s.write_mutex);
  if (s.gone)
    return not_in_use(0);
  first = s.written;
  s.written += bodies.size();
  // From here these replies are taken, whatever happens: a reply left
  // unread by a failure or an exception would hold up every later request.
  turn_keeper keeper{*this, first + bodies.size(), bodies.size()};
  if (io_result r = process_.write(frames.data(), frames.size(), until); r != io_result::done)
    return all_fail(0, lost(r, kind_name(bodies[0][0]), timeout, "writing the request"));
  write_lock.unlock();

  for (std::size_t k = 0; k < bodies.size(); ++k) {
    byte_view body = bodies[k];
    raw_reply& out = outs[k];
    const std::string what = kind_name(body[0]);
    std::unique_lock lock(s.read_mutex);
    // The slices only bound how late a turn is noticed should a wake-up be
    // missed; the turn comes with a notification. Replies of posted
    // requests before this one are taken on the way.
    while (s.taken != first + k && !s.gone) {
      auto now = std::chrono::steady_clock::now();
      if (now >= until)
        return all_fail(k, lost(io_result::timed_out, what, timeout, "waiting for its turn"));
      if (!take_posted(until))
        s.reply_turn.wait_until(lock, std::min(until, now + std::chrono::milliseconds(100)));
    }
    if (s.gone)
      return not_in_use(k);
    if (!read_reply(body, out, until, timeout, start))
      return all_fail(k, out.status);
    ++keeper.read_whole;
    if (in_order != nullptr)
      (*in_order)(out);
    s.pass_turn(s.taken + 1);
    ++keeper.passed;
    lock.unlock();
    s.reply_turn.notify_all();
  }
  return true;
}

bool client::read_reply(byte_view body, raw_reply& out, deadline until,
                        std::chrono::milliseconds timeout,
                        std::chrono::steady_clock::time_point start) {
  const std::string what = kind_name(body[0]);
  auto failed = [&out](outcome why) {
    out.status = std::move(why);
    return false;
  };
  std::uint8_t head[8];
  if (io_result r = read_output(head, sizeof head, until); r != io_result::done)
    return failed(lost(r, what, timeout, "reading the reply"));
  std::uint32_t length = field::get_le32(head);
  if (head[3] != 0 || length < 4 || length - 4 > max_reply_body)
    return failed(fail(what + ": malformed reply, length field " + hex(length)));
  out.info = field::get_le32(head + 4);
  out.data.resize(length - 4);
  if (io_result r = read_output(out.data.data(), out.data.size(), until); r != io_result::done)
    return failed(lost(r, what, timeout, "reading the reply"));
  if (round_trip_trace_)
    round_trip_trace_(std::chrono::steady_clock::now() - start);
  ++traffic_.requests;
  traffic_.bytes_written += 4 + body.size();
  traffic_.bytes_read += sizeof head + out.data.size();
  if (std::string wrong = check_reply(body[0], out.info, out.data); !wrong.empty())
    return failed(fail(what + ": malformed reply: " + wrong));
  out.status = judge(body, out.info, out.data);
  follow(body, out);
  return true;
}

bool client::take_posted(deadline until) {
  shared& s = *s_;
  shared::posted next;
  {
    std::lock_guard lock(s.posted_mutex);
    if (s.posted_requests.empty() || s.posted_requests.front().number != s.taken)
      return false;
    next = std::move(s.posted_requests.front());
    s.posted_requests.pop_front();
  }
  raw_reply out;
  if (!read_reply(next.body, out, until, options_.request_timeout,
                  std::chrono::steady_clock::now()))
    return true;
  // The turn passes on whatever in_order does.
  struct passing {
    shared& s;
    ~passing() {
      s.pass_turn(s.taken + 1);
      s.reply_turn.notify_all();
    }
  } pass{s};
  // What in_order throws is the poster's, not this thread's request's.
  try {
    if (next.in_order)
      next.in_order(out);
  } catch (...) {
  }
  return true;
}

outcome client::post(byte_view body, std::function<void(const raw_reply&)> in_order,
                     std::uint64_t* number) {
  shared& s = *s_;
  if (s.gone)
    return {source::transport, 0, "the bridge is not in use any more: " + gone_reason()};
  if (body.empty() || body.size() > max_request_body)
    return {source::transport, 0,
            "a request body of " + std::to_string(body.size()) +
                " bytes is outside 1..1048576; not sent"};
  bytes frame;
  frame.reserve(4 + body.size());
  append_request_frame(frame, body);
  shared::posted entry{0, bytes(body.begin(), body.end()), std::move(in_order)};
  ++s.in_flight;
  struct leaving {
    std::atomic<int>& count;
    ~leaving() { --count; }
  } leave{s.in_flight};
  std::lock_guard write_lock(s.write_mutex);
  if (s.gone)
    return {source::transport, 0, "the bridge is not in use any more: " + gone_reason()};
  entry.number = s.written;
  if (number != nullptr)
    *number = entry.number;
  {
    // Listed before it is written: its reply can come no sooner.
    std::lock_guard lock(s.posted_mutex);
    s.posted_requests.push_back(std::move(entry));
  }
  ++s.written;
  if (io_result r = process_.write(frame.data(), frame.size(), after(options_.request_timeout));
      r != io_result::done)
    return lost(r, kind_name(body[0]), options_.request_timeout, "writing the request");
  return {};
}

outcome client::settle(std::optional<std::uint64_t> before) {
  shared& s = *s_;
  std::uint64_t end = 0;
  {
    std::lock_guard lock(s.posted_mutex);
    if (s.posted_requests.empty() || (before && s.posted_requests.front().number >= *before))
      return {};
    end = before ? *before : s.posted_requests.back().number + 1;
  }
  ++s.in_flight;
  struct leaving {
    std::atomic<int>& count;
    ~leaving() { --count; }
  } leave{s.in_flight};
  // Every reply before `end` is taken in its turn: a posted request's here
  // when no other thread reads, any other by the thread that wrote it,
  // soon (a waiting Get among them has been ended by the posted requests
  // written after it). Reading threads hold read_mutex until their reply
  // comes, so it is only tried, and turn_passed waited on.
  deadline until = after(options_.request_timeout);
  while (s.taken < end && !s.gone) {
    std::uint64_t seen = s.taken;
    {
      std::unique_lock lock(s.read_mutex, std::try_to_lock);
      if (lock.owns_lock() && take_posted(until))
        continue;
    }
    auto now = std::chrono::steady_clock::now();
    if (now >= until)
      return lost(io_result::timed_out, "Put", options_.request_timeout,
                  "waiting for the replies before it");
    std::unique_lock lock(s.turn_mutex);
    if (s.turn_passed.wait_until(lock, std::min(until, now + std::chrono::milliseconds(100)),
                                 [&s, seen] { return s.taken != seen || s.gone; }))
      until = after(options_.request_timeout);
  }
  if (s.gone)
    return {source::transport, 0, "the bridge is not in use any more: " + gone_reason()};
  return {};
}

client::turn_keeper::~turn_keeper() {
  if (passed == count)
    return;
  shared& s = *owner.s_;
  if (read_whole == count) {
    // The last reply was read whole: the turn is still this request's.
    std::lock_guard lock(s.read_mutex);
    s.pass_turn(end);
  } else if (!s.gone) {
    // Some replies were never read, and the pipe's next reply is not the
    // next request's: the bridge cannot serve anyone any more.
    owner.abandon();
  }
  s.reply_turn.notify_all();
}

void client::abandon() noexcept {
  shared& s = *s_;
  try {
    std::lock_guard lock(s.gone_mutex);
    if (!s.gone)
      s.gone_reason = "a request ended with an exception before its reply was taken";
  } catch (...) {
  }
  s.gone = true;
  process_.kill_only();
}

// A reply's header and data usually arrive together: one read takes both
// into the buffer, where a read of each would cost a wait and a read apiece.
io_result client::read_output(std::uint8_t* data, std::size_t size, deadline until) {
  while (size > 0) {
    if (output_start_ == output_end_) {
      if (output_.empty())
        output_.resize(output_buffer_size);
      std::size_t got = 0;
      if (io_result r = process_.read_some(output_.data(), output_.size(), got, until);
          r != io_result::done)
        return r;
      output_start_ = 0;
      output_end_ = got;
    }
    std::size_t take = std::min(size, output_end_ - output_start_);
    std::copy_n(output_.begin() + static_cast<std::ptrdiff_t>(output_start_), take, data);
    output_start_ += take;
    data += take;
    size -= take;
  }
  return io_result::done;
}

raw_reply client::request(byte_view body) {
  std::vector<raw_reply> outs;
  exchange({body}, time_allowed(body), outs, nullptr);
  return std::move(outs.front());
}

raw_reply client::request(byte_view body, const std::function<void(const raw_reply&)>& in_order) {
  std::vector<raw_reply> outs;
  exchange({body}, time_allowed(body), outs, &in_order);
  return std::move(outs.front());
}

std::vector<raw_reply> client::requests(const std::vector<bytes>& bodies,
                                        const std::function<void(const raw_reply&)>& in_order) {
  std::vector<byte_view> views(bodies.begin(), bodies.end());
  std::chrono::milliseconds allowed{0};
  for (byte_view body : views)
    allowed += time_allowed(body);
  std::vector<raw_reply> outs;
  exchange(views, allowed, outs, &in_order);
  return outs;
}

// Open may wait on the network; a waiting Get waits its time-out first.
std::chrono::milliseconds client::time_allowed(byte_view body) const {
  if (!body.empty() && body[0] == 'O')
    return options_.open_timeout;
  if (body.size() >= wait_request_length && (body[0] == 'W' || body[0] == 'B'))
    return options_.request_timeout + std::chrono::milliseconds(std::min<std::uint32_t>(
                                          capimsg::get_u32(body, 1), longest_wait));
  return options_.request_timeout;
}

open_result client::open(const std::string& host, std::uint16_t port,
                         std::uint16_t max_logical_connections, registration blocks) {
  if (appl_id() != 0)
    throw std::logic_error("application " + std::to_string(appl_id()) +
                           " is registered: the bridge would replace it and never release it; "
                           "close this client and start another");
  const registration standard;
  if (blocks.b3_data_blocks < 1 || blocks.b3_data_blocks > standard.b3_data_blocks)
    throw std::invalid_argument("B3 data blocks: 1 to 7");
  if (blocks.b3_block_size < smallest_b3_block_size ||
      blocks.b3_block_size > standard.b3_block_size)
    throw std::invalid_argument("B3 block size: 128 to 2048");
  if (blocks != standard) {
    bytes values{'R'};
    capimsg::append_u16(values, blocks.b3_data_blocks);
    capimsg::append_u16(values, blocks.b3_block_size);
    raw_reply taken = request(values);
    if (taken.status.from == source::transport) {
      open_result out;
      out.status = taken.status;
      return out;
    }
    // An older bridge answers as it answers every kind it does not know,
    // and registers 7 blocks of 2048 bytes.
    if (taken.info == info_illegal_command)
      blocks = standard;
  }
  // Whether the bridge has the waiting Get, and the batch, is asked while no
  // application is registered: the answer is then 0x1104 at once, or 0x1102
  // from a bridge without it. Later a waiting Get also answers 0x1102 for a
  // frame of the host's that it drops.
  const std::pair<bytes, std::atomic<support>*> probes[] = {
      {bytes{'W', 0, 0, 0, 0}, &s_->waiting_get},
      {batch_request_body(std::chrono::milliseconds(0), 1, 0), &s_->batch}};
  for (const auto& [probe, known] : probes) {
    if (*known != support::unknown)
      continue;
    raw_reply asked = request(probe);
    if (asked.status.from == source::transport) {
      open_result out;
      out.status = asked.status;
      return out;
    }
    *known = asked.info == info_illegal_command ? support::absent : support::present;
  }
  raw_reply r = request(open_request_body(host, port, max_logical_connections));
  open_result out;
  out.status = r.status;
  out.registered = blocks;
  if (r.data.size() == open_result_size) {
    out.appl_id = field::get_le32(r.data.data());
    out.stage = static_cast<open_stage>(r.data[4]);
  }
  // 0x1009 at stage 1 is the bridge's when the library could not be loaded
  // and the library's when it reaches no host: without a library, the bridge
  // answers Profile with 0x1009 itself.
  if (out.stage == open_stage::capi_not_available && r.status.from == source::library &&
      r.status.info == info_not_installed && no_library_loaded())
    out.status.from = source::bridge;
  return out;
}

std::optional<outcome> client::installed(const std::string& host, std::uint16_t port) {
  // Open's fields under a letter of its own.
  bytes body = open_request_body(host, port, 0);
  body[0] = 'I';
  raw_reply r = request(body);
  if (r.status.from == source::bridge && r.info == info_illegal_command)
    return std::nullopt;
  outcome out = r.status;
  // As after Open.
  if (out.from == source::library && out.info == info_not_installed && no_library_loaded())
    out.from = source::bridge;
  return out;
}

bool client::no_library_loaded() {
  profile_result loaded = profile(0);
  return loaded.status.from == source::bridge && loaded.status.info == info_not_installed;
}

profile_result client::profile(std::uint32_t controller) {
  bytes body{'P'};
  capimsg::append_u32(body, controller);
  raw_reply r = request(body);
  profile_result out;
  out.status = r.status;
  if (r.data.size() == profile_size) {
    std::array<std::uint8_t, 64> raw{};
    std::copy(r.data.begin(), r.data.end(), raw.begin());
    out.value = decode_profile(raw);
  }
  return out;
}

outcome client::put(byte_view message, byte_view payload) {
  bytes body = put_request_body(message, payload);
  if (std::uint32_t id = appl_id(); id != 0 && message.size() >= 4)
    capimsg::put_u16(body, 3, static_cast<std::uint16_t>(id));
  if (trace_)
    trace_(direction::to_library, byte_view(body).subspan(1));
  return request(body).status;
}

message_result client::get() {
  const std::uint8_t body[] = {'G'};
  return message_from(request(body));
}

message_result client::get(std::chrono::milliseconds wait) {
  // Without an application every Get answers at once, and always will.
  if (appl_id() == 0)
    return get();
  deadline until = after(wait);
  auto pause = std::chrono::milliseconds(0);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() < 0)
      left = std::chrono::milliseconds(0);
    message_result m;
    if (s_->waiting_get != support::absent) {
      // Another thread's waiting Get is out: this one waits its turn, or
      // asks once without waiting when its time is up first.
      std::unique_lock lock(s_->waiting_mutex);
      if (s_->waiting_done.wait_until(lock, until, [this] { return !s_->waiting_out; })) {
        s_->waiting_out = true;
        lock.unlock();
        struct turn_over {
          shared& s;
          ~turn_over() {
            {
              std::lock_guard done(s.waiting_mutex);
              s.waiting_out = false;
            }
            s.waiting_done.notify_one();
          }
        } over{*s_};
        left = std::max(std::chrono::milliseconds(0),
                        std::chrono::duration_cast<std::chrono::milliseconds>(
                            until - std::chrono::steady_clock::now()));
        m = wait_once(left);
      } else {
        lock.unlock();
        m = get();
      }
    } else {
      m = get();
    }
    if (!m.empty() || std::chrono::steady_clock::now() >= until)
      return m;
    if (s_->waiting_get == support::present)
      continue;
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(10))
      pause += std::chrono::milliseconds(1);
  }
}

bool client::has_batch() const {
  return s_->batch == support::present;
}

bool client::has_waiting_get() const {
  return s_->waiting_get == support::present;
}

std::vector<message_result> client::get_batch(std::chrono::milliseconds wait, std::uint16_t most,
                                              std::uint32_t most_bytes) {
  std::vector<message_result> out;
  if (s_->batch != support::present) {
    out.push_back(get(wait));
    return out;
  }
  for (raw_reply& record : batch_records(request(batch_request_body(wait, most, most_bytes))))
    out.push_back(message_from(std::move(record)));
  return out;
}

message_result client::wait_once(std::chrono::milliseconds wait) {
  bytes body{'W'};
  capimsg::append_u32(body, static_cast<std::uint32_t>(std::min<std::chrono::milliseconds::rep>(
                                wait.count(), longest_wait)));
  raw_reply r = request(body);
  // A bridge without the waiting Get answers it as an unknown kind; asked
  // once, the answer stands. open() asks before registering; an Open sent
  // through request() leaves it to the first wait. (A bridge that has it
  // gives 0x1102 otherwise only for a frame of the host's that it drops:
  // taken for an older bridge then, the client merely polls.)
  if (s_->waiting_get == support::unknown && r.status.from != source::transport)
    s_->waiting_get = r.info == info_illegal_command ? support::absent : support::present;
  if (s_->waiting_get == support::absent) {
    message_result none;
    none.status = {source::bridge, info_queue_empty, {}};
    return none;
  }
  return message_from(std::move(r));
}

outcome client::close() {
  const std::uint8_t body[] = {'C'};
  outcome status = request(body).status;
  if (status.from == source::transport)
    return status;
  process_.close_input();
  exit_ = process_.wait(after(options_.request_timeout));
  if (!exit_)
    return fail("Close: the bridge did not end within " +
                std::to_string(options_.request_timeout.count()) + " ms; it was killed");
  stopped_using("closed");
  if (!exit_->exited || exit_->code != 0)
    return {source::transport, 0,
            "Close: the bridge ended " + (exit_->exited
                                              ? "with exit status " + std::to_string(exit_->code)
                                              : "by signal " + std::to_string(exit_->signal))};
  return status;
}

std::optional<exit_status> client::end_input(std::chrono::milliseconds wait) {
  process_.close_input();
  exit_ = process_.wait(after(wait));
  if (exit_)
    stopped_using("its input was ended");
  return exit_;
}

void client::kill() {
  process_.kill();
  exit_ = process_.wait(after(std::chrono::milliseconds(0)));
  stopped_using("killed");
}

void client::stopped_using(const char* why) {
  std::lock_guard lock(s_->gone_mutex);
  s_->gone_reason = why;
  s_->gone = true;
}

std::optional<exit_status> client::exit() const {
  std::lock_guard lock(s_->gone_mutex);
  return exit_;
}

} // namespace capi_bridge
