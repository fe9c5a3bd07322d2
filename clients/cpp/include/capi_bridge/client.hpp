// SPDX-License-Identifier: MIT
// The client side of capi-bridge: starts the bridge as a child process and
// makes typed requests of it, each answered within a time limit, keeping
// apart what the CAPI library said, what the bridge said, and transport
// failures. CAPI messages are built and read with capimsg.
#pragma once

#include "capi_bridge/capimsg.hpp"
#include "capi_bridge/process.hpp"

#include <array>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace capi_bridge {

using capimsg::byte_view;
using capimsg::bytes;

// Who produced a result. The Python client has the same kinds and names
// (Source.NONE, LIBRARY, BRIDGE); it raises TransportError where this one
// reports source::transport.
enum class source {
  none,      // success: info 0
  library,   // a CAPI info value from libcapi20 inside the bridge
  bridge,    // an info value the bridge produced itself (see below)
  transport, // no reply: the bridge could not be started, died, wrote a
             // malformed reply, or did not answer in time
};

// The result of one request.
//
// Telling the bridge's values from the library's. The bridge answers some
// conditions itself with fixed values; the same values can come from the
// library. The client decides by the request and by what it knows itself:
//   Open    0x1009 with stage 1: the bridge's when the library could not be
//           loaded (or the request was too short: raw requests); the
//           library's when it reaches no CAPI host (a refused or unreachable
//           connection). open() tells them apart with a Profile request
//           after the failure, which the bridge answers with 0x1009 itself
//           while no library is loaded; a raw Open counts as the library's.
//   Profile 0x1009: the bridge's (the library answers 0x1109 when CAPI is
//           not installed).
//   Put     0x1101: the bridge's when no application is registered (as far
//           as this client knows) or the message is under 8 bytes;
//           0x1102: when the message's length field is below 8, above 8192
//           or beyond the bytes given, when the message (a DATA_B3_REQ's data
//           included) is longer than the 2173 bytes the library sends
//           intact, or it is a DATA_B3_REQ under 30 bytes;
//           0x1103: when it is a DATA_B3_REQ whose Data handle has a
//           DATA_B3_REQ that the library accepted and whose DATA_B3_CONF
//           has not been fetched yet (as far as this client knows: what it
//           put and got since the last registration);
//           0x1008: when the message is a DATA_B3_REQ (no memory for the
//           copy of its data);
//           0x300C: when it is a DATA_B3_REQ declaring more than 2048 bytes;
//           0x2001: when it is a DATA_B3_RESP.
//           0x1108 counts as the library's: the connection to the host has
//           ended (the library's send failed, or the bridge knew and did not
//           ask it).
//   Get     0x1104: always the bridge's ("nothing to hand out").
//           0x1102: the bridge's; the host sent a frame too short for a
//           message, or a message whose length field is below 8 or claims
//           more than the frame or the library's buffer, and it was dropped.
//           0x1108 counts as the bridge's: the host has gone (see
//           message_result::host_gone), though the library also answers it
//           when it has no free buffer (more DATA_B3_IND unanswered than it
//           holds; a client that answers each one never sees that).
//   waiting Get ("W", used by get(wait)): as Get.
//   batch ("B", used by get_batch): as Get, for the reply and for each
//           record (batch_records).
//   Close   every value is the library's.
//   Any kind letter the bridge does not know: 0x1102, the bridge's.
// Every other non-zero value is the library's.
struct outcome {
  source from = source::none;
  std::uint32_t info = 0; // 0 for success and for transport failures
  // Transport failures: what happened. A Put the bridge refused with 0x1102:
  // which of its rules the message broke.
  std::string failure;
  bool ok() const { return from == source::none; }
  // E.g. "0x1104 (bridge): Queue is empty" or "transport failure: ...".
  std::string text() const;
};

// The CAPI 2.0 text of an info or reason value (capimsg's table).
std::string info_text(std::uint32_t info);

struct client_options {
  // How to start the bridge, e.g. {"/opt/capi-bridge/capi-bridge"} or
  // {"wine", "C:/capi-bridge/capi-bridge.exe"}.
  std::vector<std::string> command;
  // Set in the bridge's environment (HOME decides which .capi20rc the
  // library reads).
  std::vector<std::pair<std::string, std::string>> environment;
  // Taken out of what the bridge inherits (see process_options).
  std::vector<std::string> unset_environment;
  // The bridge's standard error, where the library writes its debug lines:
  // appended to this file, or discarded when empty.
  std::string stderr_path;
  // Start the bridge out of reach of the program's wait() (see
  // process_options).
  bool hidden_from_wait = false;
  // Time allowed for each reply. Open may wait on the network (the library
  // connects and registers without time limits of its own) and has its own.
  std::chrono::milliseconds request_timeout{10000};
  std::chrono::milliseconds open_timeout{30000};
};

enum class open_stage : std::uint8_t {
  registered = 0,
  capi_not_available = 1,
  register_failed = 2,
};

// The B3 data blocks an application registers for: how many DATA_B3_IND the
// host may hand it unanswered per connection (1..7), and the largest block
// of data in one (128..2048 bytes).
struct registration {
  std::uint16_t b3_data_blocks = 7;
  std::uint16_t b3_block_size = 2048;
  bool operator==(const registration&) const = default;
};

struct open_result {
  outcome status;
  std::uint32_t appl_id = 0;
  open_stage stage = open_stage::capi_not_available;
  // What the registration asked for: what open() was given, or 7 blocks of
  // 2048 bytes from a bridge too old to take other values.
  registration registered;
};

// A controller's CAPI profile (CAPI_GET_PROFILE), decoded. Controller 0
// carries only the number of controllers.
struct controller_profile {
  std::uint16_t controllers = 0;
  std::uint16_t b_channels = 0;
  std::uint32_t global_options = 0;
  std::uint32_t b1_protocols = 0; // bit n: B1 protocol n supported
  std::uint32_t b2_protocols = 0;
  std::uint32_t b3_protocols = 0;
  std::array<std::uint32_t, 5> manufacturer{}; // manufacturer-specific words
  std::array<std::uint8_t, 64> raw{};
};

controller_profile decode_profile(const std::array<std::uint8_t, 64>& raw);

// Names of the profile's bits, for display: "internal controller",
// "64 kbit/s HDLC", "X.75", "transparent"; an empty string for bits CAPI 2.0
// leaves reserved.
std::string global_option_name(unsigned bit);
std::string b1_protocol_name(unsigned bit);
std::string b2_protocol_name(unsigned bit);
std::string b3_protocol_name(unsigned bit);

struct profile_result {
  outcome status;
  controller_profile value; // what the bridge sent, whatever the status (zeros if nothing)
};

struct message_result {
  outcome status;
  bytes message; // the CAPI message, its own length
  bytes b3_data; // a DATA_B3_IND's data; empty otherwise
  // Nothing was waiting (or no application is registered): the bridge's
  // 0x1104.
  bool empty() const;
  // The host has gone: the library's connection to it has ended or can no
  // longer be used (the bridge's 0x1108). Close and start again.
  bool host_gone() const;
};

// Request bodies and frames as the client writes them, for a program that
// drives a bridge's pipes itself (the benchmark, to measure the protocol
// alone); client::request takes such a body as it is.
//
// Open's body: 'O', the port and max_logical_connections (2 bytes each,
// little-endian), the host.
bytes open_request_body(const std::string& host, std::uint16_t port,
                        std::uint16_t max_logical_connections);
// Put's body: 'M', the message, the data that goes with it.
bytes put_request_body(byte_view message, byte_view payload = {});
// The batch's body ("B"): its first message's time-out (at most 60 s), the
// most messages and bytes.
bytes batch_request_body(std::chrono::milliseconds wait, std::uint16_t most,
                         std::uint32_t most_bytes);
// Appends `body` to `frames` as one request frame: the body's length (4
// bytes, little-endian), then the body.
void append_request_frame(bytes& frames, byte_view body);

// A reply as it came, for requests built by hand.
struct raw_reply {
  outcome status;
  std::uint32_t info = 0;
  bytes data; // data and extra
};

// What went through one client, counted as the replies came.
struct traffic {
  std::uint64_t requests = 0;
  std::uint64_t messages_put = 0;  // Put requests that the library accepted
  std::uint64_t messages_got = 0;  // messages Get handed out
  std::uint64_t b3_bytes_put = 0;  // payload of accepted DATA_B3_REQ
  std::uint64_t b3_bytes_got = 0;  // data appended to DATA_B3_IND
  std::uint64_t bytes_written = 0; // request frames, headers included
  std::uint64_t bytes_read = 0;    // reply frames, headers included
};

enum class direction { to_library, from_library };

// Threads. What may run at the same time: requests (profile, put, get,
// get(wait), request, requests) from any number of threads, and beside them
// usable(), gone_reason(), exit(), appl_id() and next_number(). Each request
// is written whole, in turn, and each thread takes its own reply, in the
// order the requests were written (a waiting Get that another thread's
// request ends early is answered first, then that request); the client's
// own books (the registered application, Data handles in flight, counters)
// follow the replies in that order. A request that fails or throws still
// passes the turn on, so it never holds up another thread's. One waiting
// Get is out at a time: a thread that waits while another's is out waits
// for that one to end, or asks once without waiting when its own time runs
// out first. A request written by post() has its reply taken later, in its
// turn, by whichever thread reads next (any later request, or settle()),
// which calls its `in_order` then. What must run alone: open, close,
// end_input, kill, the
// traces, counters() and moving the client, with no request running in any
// other thread until they return. Before close, then, the caller ends its
// other threads' requests or waits them out (any request written ends a
// waiting Get early). The CAPI interface (interface/capi20_interface.hpp)
// keeps the same rules for the program's threads.
class client {
public:
  // Starts the bridge in a process group of its own. When it cannot be
  // started (its standard error file cannot be opened, say) every request
  // reports a transport failure saying why.
  explicit client(client_options options);
  // Ends the bridge's input (the bridge then releases its application and
  // exits), waits up to 2 s, then kills it if it still runs.
  ~client();
  client(const client&) = delete;
  client& operator=(const client&) = delete;
  // A moved-from client may only be destroyed or assigned to.
  client(client&&) noexcept;
  client& operator=(client&&) noexcept;

  // True while the bridge runs and its replies have made sense.
  bool usable() const;
  // Why the client stopped using the bridge; empty while usable.
  std::string gone_reason() const;
  // The bridge's process ID; 0 if it was never started.
  long process_id() const { return process_.id(); }

  // Points the library at host:port and registers an application with
  // room for `max_logical_connections` connections. Throws std::logic_error
  // while an application is registered: the bridge would replace it and
  // never release it (the Python client raises RuntimeError).
  // `blocks`: what to register for, sent before Open where it differs from
  // 7 of 2048 bytes; throws std::invalid_argument for values outside the
  // ranges above.
  open_result open(const std::string& host, std::uint16_t port,
                   std::uint16_t max_logical_connections, registration blocks = {});
  // Whether CAPI is there: the library pointed at host:port answers its
  // is-installed, and no application is registered at the host (profile()
  // works after it). Whose 0x1009 it is, is told as open() tells it.
  // Nothing from a bridge too old to ask without registering: then open()
  // tells.
  std::optional<outcome> installed(const std::string& host, std::uint16_t port);
  // The profile of `controller`; 0 asks for the number of controllers.
  profile_result profile(std::uint32_t controller);
  // Passes one CAPI message to the library. For a DATA_B3_REQ of 30 bytes
  // the B3 data follows: in `payload`, or already after the message in
  // `message` (as capimsg::build_data_b3 lays it out). When an application
  // is registered, the message's ApplID field is set to its ID.
  outcome put(byte_view message, byte_view payload = {});
  // One incoming message, never waiting; empty() when none.
  message_result get();
  // Waits until a message comes or `wait` has passed; returns at once on
  // anything but empty(). Uses the bridge's waiting Get ("W", asked once:
  // an older bridge answers it with 0x1102, and the client then polls with
  // Get, pausing 0, 1, 2 ... up to 10 ms between empty polls). Each waiting
  // request waits up to 60 s and has request_timeout on top for its reply.
  // host_gone() when the library's connection to the host has ended.
  message_result get(std::chrono::milliseconds wait);
  // Every message that has come, in order, up to `most` messages and about
  // `most_bytes` of them, waiting up to `wait` (at most 60 s) for the first,
  // in one request: the bridge's batch ("B", asked once in open(): an older
  // bridge answers it with 0x1102, and the client then gives one message
  // from get(wait)). Each message is as get() gives it; the last may carry
  // the status that ended the batch (host_gone(), say). None ok: one
  // element with the status (empty() when nothing came in time).
  std::vector<message_result> get_batch(std::chrono::milliseconds wait, std::uint16_t most = 64,
                                        std::uint32_t most_bytes = 64 * 1024);
  // Whether the bridge hands out batches; known after open().
  bool has_batch() const;
  // Whether the bridge has the waiting Get ("W"); known after open().
  bool has_waiting_get() const;
  // The records of a batch reply ("B"): each a reply as Get's, its status
  // judged as Get's; the reply itself when it carries none.
  std::vector<raw_reply> batch_records(const raw_reply& reply) const;
  // Releases the application; the bridge then exits, which is awaited. A
  // bridge that ends with a status other than 0, or by a signal, is a
  // transport failure.
  outcome close();
  // Sends `body` (kind letter first) as one request and returns the reply,
  // checked only as far as its kind letter says. The client's own idea of
  // the registered application and of the Data handles in flight follows
  // the replies, whether the request came through here or a typed call.
  raw_reply request(byte_view body);
  // The same, with `in_order` called with the reply (its status judged)
  // before any later request's reply is taken: the place to keep books that
  // must follow the replies' order when several threads make requests.
  raw_reply request(byte_view body, const std::function<void(const raw_reply&)>& in_order);
  // Several requests written at once (one write where a pipe takes them),
  // their replies taken in order as request() takes one, `in_order` called
  // for each; the time allowed is the sum of theirs. A failure is the
  // failure of every request whose reply had not been taken.
  std::vector<raw_reply> requests(const std::vector<bytes>& bodies,
                                  const std::function<void(const raw_reply&)>& in_order);
  // Writes `body` as one request and returns without its reply, which the
  // next thread to read takes in its turn (a later request of any thread,
  // or settle()) and hands to `in_order`, judged and followed, from that
  // thread. Nothing when written; a transport failure (the bridge has then
  // ended, and `in_order` is never called) otherwise. `number`, if given,
  // is set to the request's place in the order, for settle().
  outcome post(byte_view body, std::function<void(const raw_reply&)> in_order,
               std::uint64_t* number = nullptr);
  // Takes the replies of every request posted before the request numbered
  // `before` (every one posted so far: no number), waiting for the replies
  // of other threads' requests in between to be taken by them. Allows
  // request_timeout for each; a transport failure ends the bridge.
  outcome settle(std::optional<std::uint64_t> before = std::nullopt);

  // Closes the bridge's input without Close and waits up to `wait` for it
  // to exit; nullopt if it still runs then (it keeps running).
  std::optional<exit_status> end_input(std::chrono::milliseconds wait);
  // Kills the bridge at once.
  void kill();
  // How the bridge ended, once it has.
  std::optional<exit_status> exit() const;

  // The application registered through this client, 0 if none.
  std::uint32_t appl_id() const;
  // The next message number for a request: 1, 2, ... 65535, then 1 again
  // (0 is never given), as in the Python client.
  std::uint16_t next_number();

  const traffic& counters() const { return traffic_; }
  // Called with every message put (before it goes) and every message got.
  void set_trace(std::function<void(direction, byte_view message)> trace) {
    trace_ = std::move(trace);
  }
  // Called after every reply with the time from writing its request to
  // reading the reply's last byte.
  void set_round_trip_trace(std::function<void(std::chrono::nanoseconds)> trace) {
    round_trip_trace_ = std::move(trace);
  }

private:
  // Sends one request and takes its reply in its turn, judged and followed;
  // false after a transport failure (out.status says which), which has
  // then ended the bridge.
  bool exchange(const std::vector<byte_view>& bodies, std::chrono::milliseconds timeout,
                std::vector<raw_reply>& outs,
                const std::function<void(const raw_reply&)>* in_order);
  // Whether the bridge says no library is loaded: Profile then answers
  // 0x1009 of its own. Tells whose 0x1009 an Open or is-installed gave.
  bool no_library_loaded();
  // Stops using the bridge and ends it; the failure to report.
  outcome fail(const std::string& why);
  // Records that the client no longer uses the bridge, and why.
  void stopped_using(const char* why);
  // The same where nothing may be thrown, for replies left unread.
  void abandon() noexcept;
  // Counts a request's replies as taken when it leaves exchange, however
  // it leaves: with all of them read, the turn passes on; with some left
  // unread (a failure, an exception), the bridge is abandoned.
  struct turn_keeper {
    client& owner;
    std::uint64_t end; // the count of replies taken once these are
    std::size_t count; // the requests written together
    std::size_t read_whole = 0;
    std::size_t passed = 0; // replies whose turn has passed on
    ~turn_keeper();
  };
  // Why a read or write of a request did not go through.
  outcome lost(io_result r, const std::string& what, std::chrono::milliseconds timeout,
               const char* doing);
  // Reads exactly `size` bytes of the bridge's output, through output_.
  io_result read_output(std::uint8_t* data, std::size_t size, deadline until);
  // Reads the next reply, for `body`, and checks, judges and follows it;
  // false after a transport failure, which out.status then says.
  bool read_reply(byte_view body, raw_reply& out, deadline until, std::chrono::milliseconds timeout,
                  std::chrono::steady_clock::time_point start);
  // With read_mutex held: takes the next reply when it is a posted
  // request's, calling its in_order; false when it is not.
  bool take_posted(deadline until);
  outcome judge(byte_view body, std::uint32_t info, const bytes& data);
  // The books a message handed out keeps (Data handles, counters, trace).
  void follow_message(const bytes& data);
  // Keeps appl_id_, handles_in_flight_ and the counters in step with a reply.
  void follow(byte_view body, const raw_reply& reply);
  static message_result message_from(raw_reply reply);
  // How long a request with this body may take to be answered.
  std::chrono::milliseconds time_allowed(byte_view body) const;
  // One waiting Get of up to `wait` (at most longest_wait).
  message_result wait_once(std::chrono::milliseconds wait);

  static constexpr std::uint32_t longest_wait = 60000;
  static constexpr std::size_t wait_request_length = 5;
  enum class support { unknown, present, absent };

  // What threads share: the turns to write and to read, and the state a
  // request of any thread reads or changes.
  struct shared;
  std::unique_ptr<shared> s_;

  child_process process_;
  client_options options_;
  // The bridge's output read ahead of the reply being taken (the reading
  // thread's).
  static constexpr std::size_t output_buffer_size = 64 * 1024;
  bytes output_;
  std::size_t output_start_ = 0;
  std::size_t output_end_ = 0;
  std::optional<exit_status> exit_;
  // Data handles of DATA_B3_REQs the library accepted whose DATA_B3_CONF
  // has not been fetched: the bridge refuses them with 0x1103.
  std::bitset<65536> handles_in_flight_;
  traffic traffic_;
  std::function<void(direction, byte_view)> trace_;
  std::function<void(std::chrono::nanoseconds)> round_trip_trace_;
};

} // namespace capi_bridge
