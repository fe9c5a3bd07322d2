// SPDX-License-Identifier: MIT
// The CAPI 2.0 operations over bridges: the table of applications, the
// messages each has fetched and not handed out, the calls at work and the
// waiting Get they share, and the return of an application whose host or
// bridge was lost. How messages carry the program's data pointers is
// data_pointers.cpp's; which calls are open, and how they end when the host
// is lost, lost_calls.cpp's.
#include "capi20_interface.hpp"
#include "data_pointers.hpp"
#include "lost_calls.hpp"

#include "capi_bridge/version.hpp"

#include "capi_bridge/put_rules.hpp"

#include <algorithm>
#include <atomic>
#include <bitset>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace capi_interface {

bool bridge_program_exists();

namespace {

using capi_bridge::bytes;
using capi_bridge::client;
using capi_bridge::outcome;
using capi_bridge::raw_reply;
using capi_bridge::source;

// Message fields this layer reads or writes.
namespace field = capi_fields;
using field::get_le16;
using field::get_le32;

// The largest block the bridge carries, the smallest CAPI 2.0 allows, and
// the most blocks it lets an application hold unanswered.
constexpr unsigned registered_block_size = 2048;
constexpr unsigned smallest_block_size = 128;
constexpr unsigned most_blocks = 7;
constexpr std::uint32_t longest_wait = 60000;

struct application {
  explicit application(capi_bridge::client_options options)
      : bridge(std::make_shared<client>(std::move(options))) {}

  unsigned id = 0;
  // What the program registered with, for registering again.
  std::uint16_t max_logical_connections = 0;
  capi_bridge::registration blocks;
  // Everything below: the bridge, the queue, what is handed out and held,
  // the watcher, the calls at work, the reconnection and the release.
  std::mutex mutex;
  std::uint32_t host_id = 0; // the ID the host gave the bridge's application
  // The bridge that serves the application now; a call uses the one it
  // took, and the last to let go of a replaced one ends it.
  std::shared_ptr<client> bridge;
  std::condition_variable changed;
  // Release has begun: every call answers 0x1101 from then on.
  bool released = false;
  // Calls whose requests are out at the bridge (or about to go): release
  // waits for them before it closes the bridge.
  unsigned running = 0;
  // A thread's waiting Get is out: every other thread that waits waits for
  // what it brings instead of asking too (a request of theirs would end it
  // early, and each would ask again, without end).
  bool fetching = false;
  // Replies' data (message and DATA_B3_IND data) in the order the bridge
  // gave them, not yet handed out.
  std::deque<bytes> queue;
  bytes current; // the message last handed out
  held_data held;
  // Data handles of DATA_B3_REQs written whose DATA_B3_CONF has not come
  // from the bridge: the bridge refuses another with the handle (0x1103).
  std::bitset<65536> sending;
  bool gone = false; // the bridge or the host has gone, for good
  // The bridge or the host has gone, and a new bridge is being registered.
  bool away = false;
  call_book book;
  // The messages that ended the lost host's calls, in the program's form,
  // handed out after the first `before_ended` of the queue (what the lost
  // host had sent).
  std::deque<bytes> ended;
  std::size_t before_ended = 0;
  std::thread reconnector;
  void (*waiting)(void*, bool) = nullptr;
  void* context = nullptr;
  std::thread pump;
  std::atomic<bool> stopping{false};
  bool pump_done = false;
  // How many messages the last fetch brought (the fetching thread's).
  std::atomic<unsigned> last_brought{0};

  // A message to hand out, or the news that the bridge or host has gone.
  // With `mutex` held.
  bool ready() const { return !queue.empty() || !ended.empty() || gone; }
};

struct state {
  std::mutex mutex; // the settings and the table
  settings config;
  std::string driver, host;
  int port = 0;
  std::map<unsigned, std::shared_ptr<application>> applications;
  // A bridge for is-installed and Profile while no application is
  // registered.
  std::mutex control_mutex;
  std::shared_ptr<client> control;
};

// Lives as long as the process: at its end the bridges see their input end
// and release their applications themselves.
state& the() {
  static state* s = new state;
  return *s;
}

capi_bridge::client_options bridge_options() {
  std::lock_guard lock(the().mutex);
  return the().config.bridge;
}

// One line about the bridges, where settings::log_name says.
void say(const std::string& line) {
  settings config;
  {
    std::lock_guard lock(the().mutex);
    config = the().config;
  }
  if (config.log_name.empty())
    return;
  const std::string& path = config.bridge.stderr_path;
  std::FILE* file = path.empty() || path == "/dev/stderr" ? nullptr : std::fopen(path.c_str(), "a");
  std::fprintf(file != nullptr ? file : stderr, "%s: %s\n", config.log_name.c_str(), line.c_str());
  if (file != nullptr)
    std::fclose(file);
}

bool verbose() {
  std::lock_guard lock(the().mutex);
  return the().config.verbose;
}

bool reconnects() {
  std::lock_guard lock(the().mutex);
  return the().config.reconnect;
}

// A line about a lost host or bridge: only where the bridges' standard
// error goes to a file, never into the program's own.
void say_in_file(const std::string& line) {
  if (!bridge_options().stderr_path.empty())
    say(line);
}

// "application 1 (the host's 371), bridge 12345".
std::string named(unsigned appl_id, std::uint32_t host_id, long bridge) {
  return "application " + std::to_string(appl_id) + " (the host's " + std::to_string(host_id) +
         "), bridge " + std::to_string(bridge);
}

bool driver_served() {
  std::lock_guard lock(the().mutex);
  std::string d = the().driver;
  std::transform(d.begin(), d.end(), d.begin(), [](unsigned char c) { return std::tolower(c); });
  return d.empty() || d == "fritzbox";
}

std::shared_ptr<application> find(unsigned appl_id) {
  std::lock_guard lock(the().mutex);
  auto it = the().applications.find(appl_id);
  return it == the().applications.end() ? nullptr : it->second;
}

// Wakes the threads waiting for `app`, and tells its watcher once it has
// become ready. With app.mutex held, after a change to the queue or `gone`.
void notify_changed(application& app, bool was_ready) {
  app.changed.notify_all();
  if (!was_ready && app.ready() && app.waiting != nullptr)
    app.waiting(app.context, true);
}

void mark_gone(application& app) {
  std::lock_guard lock(app.mutex);
  bool was_ready = app.ready();
  app.gone = true;
  notify_changed(app, was_ready);
}

std::shared_ptr<client> bridge_of(application& app) {
  std::lock_guard lock(app.mutex);
  return app.bridge;
}

// A message waits to be handed out. With app.mutex held.
bool has_message(const application& app) {
  return !app.queue.empty() || !app.ended.empty();
}

void reconnect(application* app);

// The one place that learns that `bridge` can no longer serve `app` (it
// ended, or said that its host has gone): with reconnection the
// application's calls end as on a lost line and its reconnector registers
// it again; without, the application is gone. Nothing when `bridge` has
// already been replaced or the loss is known.
void bridge_lost(application& app, const client* bridge) {
  bool reconnecting = reconnects();
  std::lock_guard lock(app.mutex);
  if (bridge != app.bridge.get() || app.away || app.gone || app.released)
    return;
  // Nothing is on its way at the bridge that replaces it.
  app.sending.reset();
  bool was_ready = app.ready();
  if (reconnecting && !app.reconnector.joinable()) {
    try {
      app.reconnector = std::thread(reconnect, &app);
    } catch (...) {
      reconnecting = false;
    }
  }
  if (reconnecting) {
    app.away = true;
    app.before_ended = app.queue.size();
    for (bytes& m : end_everything(app.book))
      app.ended.push_back(std::move(m));
  } else {
    app.gone = true;
  }
  notify_changed(app, was_ready);
}

// A call's hold on an application, while it makes requests of its bridge:
// none is given once release has begun, and release waits until every hold
// has been let go before it closes the bridge.
class hold {
public:
  explicit hold(application& app) : app_(app) {
    std::lock_guard lock(app.mutex);
    held_ = !app.released;
    if (held_)
      ++app.running;
  }
  ~hold() {
    if (!held_)
      return;
    std::lock_guard lock(app_.mutex);
    --app_.running;
    app_.changed.notify_all();
  }
  hold(const hold&) = delete;
  hold& operator=(const hold&) = delete;
  explicit operator bool() const { return held_; }

private:
  application& app_;
  bool held_ = false;
};

// The client's application can no longer be served: its bridge has ended,
// or said that its host has gone (a Put's 0x1108 counts as the library's).
bool bridge_gone(const capi_bridge::outcome& status) {
  return status.from == source::transport ||
         ((status.from == source::bridge || status.from == source::library) &&
          status.info == info_host_gone);
}

// A message the bridge handed out joins the queue, unless it is this
// layer's own (call book); a DATA_B3_CONF frees its Data handle. With
// app.mutex held.
void take_in(application& app, bytes message) {
  if (!note_incoming(app.book, message))
    return;
  if (message.size() >= field::data_b3_conf_size_with_handle &&
      message[field::command] == field::command_data_b3 &&
      message[field::subcommand] == field::subcommand_conf)
    app.sending.reset(get_le16(message.data() + field::conf_data_handle));
  app.queue.push_back(std::move(message));
}

// Fetches with the bridge's batch: every message that waits there, in one
// reply, waiting up to `wait` for the first. The status of the reply, or of
// the record that ended the batch.
capi_bridge::outcome fetch_batch(application& app, const std::shared_ptr<client>& bridge,
                                 std::uint32_t wait) {
  constexpr std::uint16_t most_messages = 64;
  constexpr std::uint32_t most_bytes = 64 * 1024;
  const bytes body =
      capi_bridge::batch_request_body(std::chrono::milliseconds(wait), most_messages, most_bytes);
  capi_bridge::outcome ended;
  unsigned brought = 0;
  std::vector<raw_reply> replies =
      bridge->requests({body}, [&app, &bridge, &ended, &brought](const raw_reply& reply) {
        std::vector<raw_reply> records = bridge->batch_records(reply);
        std::lock_guard lock(app.mutex);
        bool was_ready = app.ready();
        for (raw_reply& r : records) {
          if (!r.status.ok()) {
            ended = r.status;
          } else {
            ++brought;
            take_in(app, std::move(r.data));
          }
        }
        notify_changed(app, was_ready);
      });
  app.last_brought = brought;
  if (!replies.back().status.ok() && ended.ok())
    ended = replies.back().status;
  if (bridge_gone(ended))
    bridge_lost(app, bridge.get());
  return ended;
}

// Fetches what waits at the bridge: with the batch where the bridge has it;
// otherwise, after a fetch that brought messages, a few Gets at once
// (messages come in bursts: a window of data, its confirmations), one more
// than the last brought; after one that brought none, one waiting Get of
// up to `wait`, or one Get without (and from a bridge without the waiting
// Get, a pause). What comes joins the queue in the
// order of the replies, whichever thread asked. The status of the last
// reply, or of the first that was no message.
capi_bridge::outcome fetch(application& app, std::optional<std::uint32_t> wait) {
  std::shared_ptr<client> bridge = bridge_of(app);
  if (bridge->has_batch())
    return fetch_batch(app, bridge, wait.value_or(0));
  constexpr unsigned most_at_once = 8;
  unsigned count = std::min(app.last_brought + 1, most_at_once);
  std::vector<bytes> bodies;
  bool waits = bridge->has_waiting_get();
  if (app.last_brought == 0 && wait && waits) {
    bytes waiting{'W', 0, 0, 0, 0};
    field::put_le32(waiting.data() + 1, *wait);
    bodies.push_back(std::move(waiting));
  } else {
    bodies.assign(count, bytes{'G'});
  }
  unsigned brought = 0;
  std::vector<raw_reply> replies =
      bridge->requests(bodies, [&app, &brought](const raw_reply& reply) {
        if (!reply.status.ok())
          return;
        ++brought;
        std::lock_guard lock(app.mutex);
        bool was_ready = app.ready();
        take_in(app, reply.data);
        notify_changed(app, was_ready);
      });
  app.last_brought = brought;
  // A bridge without the waiting Get is asked again after a pause, as the
  // client's get(wait) does.
  if (brought == 0 && wait.value_or(0) > 0 && !waits)
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<std::uint32_t>(*wait, 10)));
  capi_bridge::outcome status = replies.back().status;
  for (const raw_reply& r : replies) {
    if (bridge_gone(r.status)) {
      bridge_lost(app, bridge.get());
      return r.status;
    }
    bool empty = r.status.from == source::bridge && r.status.info == info_queue_empty;
    if (!r.status.ok() && !empty)
      status = r.status;
  }
  return status;
}

// Hands out the oldest message, as the program is to see it: what the host
// sent, and after what a lost host had sent, the messages that ended its
// calls. Called with app.mutex held and has_message(app).
std::uint8_t* hand_out(application& app) {
  if (!app.ended.empty() && (app.before_ended == 0 || app.queue.empty())) {
    // Made here, in the program's form: they let go of no data, which
    // stays the program's until it answers.
    app.current = std::move(app.ended.front());
    app.ended.pop_front();
    field::put_le16(app.current.data() + field::appl_id, static_cast<std::uint16_t>(app.id));
  } else {
    bytes raw = std::move(app.queue.front());
    app.queue.pop_front();
    if (app.before_ended > 0)
      --app.before_ended;
    app.current = program_message(raw, app.id, the().config.pointers, app.held);
  }
  if (!app.ready() && app.waiting != nullptr)
    app.waiting(app.context, false);
  return app.current.data();
}

// Whether a DISCONNECT_IND for the PLCI of `ncci` waits in the queue, not
// yet handed out. Called with app.mutex held.
bool disconnect_waits(const application& app, std::uint32_t ncci) {
  return std::any_of(app.queue.begin(), app.queue.end(),
                     [ncci](const bytes& m) { return disconnect_ind_plci(m) == (ncci & 0xFFFF); });
}

// Waits until no call of `app` has a request out and its pump has stopped.
// Any request ends a waiting Get at the bridge early, so one is made
// whenever a waiting Get may be out; the others end by themselves.
void end_calls(application& app) {
  const std::uint8_t nudge[] = {'W', 0, 0, 0, 0};
  bool bridge_answers = true;
  for (;;) {
    bool waiting_get_out = false;
    {
      std::unique_lock lock(app.mutex);
      auto ended = [&] { return app.running == 0 && (!app.pump.joinable() || app.pump_done); };
      if (app.changed.wait_for(lock, std::chrono::milliseconds(20), ended))
        break;
      waiting_get_out = app.fetching || (app.pump.joinable() && !app.pump_done);
    }
    if (waiting_get_out && bridge_answers)
      bridge_answers = bridge_of(app)->request(nudge).status.from != source::transport;
  }
  if (app.pump.joinable())
    app.pump.join();
  if (app.reconnector.joinable())
    app.reconnector.join();
}

// One try at registering `app` again through a new bridge, with the
// program's values and its listens: the bridge, or why not.
struct attempt {
  std::shared_ptr<client> bridge;
  std::uint32_t host_id = 0;
  std::string failure;
  bool for_good = false; // trying again cannot help
};

// A registration refused for a reason that waiting does not change: the
// program's values, which the host took before, no longer fit.
bool refused_for_good(const capi_bridge::open_result& opened) {
  return opened.stage == capi_bridge::open_stage::register_failed &&
         opened.status.from != source::transport &&
         (opened.status.info == 0x1002 || opened.status.info == 0x1003 ||
          opened.status.info == 0x1004);
}

attempt register_again(application& app) {
  attempt result;
  auto fresh = std::make_shared<client>(bridge_options());
  capi_bridge::open_result opened = fresh->open(host(), static_cast<std::uint16_t>(port()),
                                                app.max_logical_connections, app.blocks);
  if (opened.stage != capi_bridge::open_stage::registered) {
    result.failure = opened.status.text();
    result.for_good = refused_for_good(opened) ||
                      (opened.status.from == source::transport && !bridge_program_exists());
    return result;
  }
  std::vector<bytes> listens;
  {
    std::lock_guard lock(app.mutex);
    listens = listens_to_repeat(app.book);
  }
  for (const bytes& listen : listens) {
    capi_bridge::outcome put = fresh->put(listen);
    if (!put.ok()) {
      std::lock_guard lock(app.mutex);
      app.book.repeated.clear();
      result.failure = "LISTEN_REQ: " + put.text();
      return result;
    }
  }
  result.host_id = opened.appl_id;
  result.bridge = std::move(fresh);
  return result;
}

// The application's reconnector thread, started at its first loss: each
// time the application is away, registers it again through a new bridge,
// at once and then after pauses of 0.5 s doubling up to 30 s, until it is
// back, given up or released. Waits on the application's condition, never
// polling.
void reconnect(application* app) {
  using std::chrono::milliseconds;
  constexpr milliseconds first_pause{500}, longest_pause{30000};
  std::unique_lock lock(app->mutex);
  for (;;) {
    app->changed.wait(lock, [app] { return app->stopping || app->away; });
    if (app->stopping)
      return;
    const auto lost_at = std::chrono::steady_clock::now();
    const std::string lost = named(app->id, app->host_id, app->bridge->process_id());
    lock.unlock();
    say_in_file(lost + ": its host or bridge has gone; registering it again");
    lock.lock();
    milliseconds pause{0};
    while (!app->stopping) {
      if (pause.count() > 0 &&
          app->changed.wait_for(lock, pause, [app] { return app->stopping.load(); }))
        break;
      lock.unlock();
      attempt result;
      try {
        result = register_again(*app);
      } catch (...) {
        result.failure = "out of memory or threads";
      }
      lock.lock();
      if (app->stopping)
        break;
      if (result.bridge) {
        std::shared_ptr<client> old = std::exchange(app->bridge, result.bridge);
        app->host_id = result.host_id;
        app->away = false;
        app->last_brought = 0;
        app->changed.notify_all();
        const std::string back = named(app->id, app->host_id, app->bridge->process_id());
        lock.unlock();
        old.reset(); // ends the old bridge, if still running
        auto took =
            std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - lost_at);
        say_in_file(back + " registered again after " + std::to_string(took.count()) + " ms");
        lock.lock();
        break;
      }
      if (result.for_good) {
        bool was_ready = app->ready();
        app->away = false;
        app->gone = true;
        notify_changed(*app, was_ready);
        lock.unlock();
        say_in_file("application " + std::to_string(app->id) +
                    ": gave up registering it again: " + result.failure);
        lock.lock();
        break;
      }
      pause = pause.count() == 0 ? first_pause : std::min(pause * 2, longest_pause);
    }
  }
}

} // namespace

void configure(const settings& s) {
  std::lock_guard lock(the().mutex);
  the().config = s;
}

void set_driver(const std::string& d) {
  std::lock_guard lock(the().mutex);
  the().driver = d;
}
void set_host(const std::string& h) {
  std::lock_guard lock(the().mutex);
  the().host = h;
}
void set_port(int p) {
  std::lock_guard lock(the().mutex);
  the().port = p;
}
std::string driver() {
  std::lock_guard lock(the().mutex);
  return the().driver;
}
std::string host() {
  std::lock_guard lock(the().mutex);
  return the().host;
}
int port() {
  std::lock_guard lock(the().mutex);
  return the().port;
}

// Whether the bridge's program is there. A bridge that could not be started
// although it is ran into the system's limits (descriptors, processes,
// memory). A program looked up in PATH counts as there.
bool bridge_program_exists() {
  std::vector<std::string> command = bridge_options().command;
  if (command.empty())
    return false;
  if (command[0].find_first_of("/\\") == std::string::npos)
    return true;
  std::error_code ignored;
  return std::filesystem::exists(command[0], ignored);
}

// A registered application whose bridge still serves it, if any.
std::shared_ptr<application> usable_application() {
  std::lock_guard lock(the().mutex);
  for (const auto& [id, app] : the().applications)
    if (bridge_of(*app)->usable())
      return app;
  return nullptr;
}

unsigned installed() {
  if (!driver_served())
    return info_not_installed;
  if (usable_application())
    return info_ok;
  std::lock_guard lock(the().control_mutex);
  if (the().control && the().control->usable())
    return info_ok;
  auto control = std::make_shared<client>(bridge_options());
  if (std::optional<outcome> asked =
          control->installed(host(), static_cast<std::uint16_t>(port()))) {
    if (asked->from == source::transport)
      return info_not_installed;
    if (!asked->ok())
      return asked->info;
    the().control = std::move(control);
    return info_ok;
  }
  // A bridge that cannot ask without registering finds out by registering.
  capi_bridge::open_result opened = control->open(host(), static_cast<std::uint16_t>(port()), 1);
  if (opened.status.from == source::transport)
    return info_not_installed;
  if (opened.stage == capi_bridge::open_stage::capi_not_available)
    return opened.status.info;
  // Registered or refused: the library is loaded and reaches the host.
  the().control = std::move(control);
  return info_ok;
}

unsigned register_application(unsigned max_logical_connections, unsigned max_b_data_blocks,
                              unsigned max_b_data_length, unsigned& appl_id) {
  appl_id = 0;
  if (!driver_served())
    return info_not_installed;
  if (max_b_data_length < smallest_block_size)
    return info_logical_block_too_small;
  const capi_bridge::registration blocks{
      static_cast<std::uint16_t>(std::clamp(max_b_data_blocks, 1u, most_blocks)),
      static_cast<std::uint16_t>(std::min(max_b_data_length, registered_block_size))};
  auto app = std::make_shared<application>(bridge_options());
  app->max_logical_connections = static_cast<std::uint16_t>(max_logical_connections);
  app->blocks = blocks;
  capi_bridge::open_result opened = app->bridge->open(host(), static_cast<std::uint16_t>(port()),
                                                      app->max_logical_connections, blocks);
  if (opened.status.from == source::transport) {
    if (app->bridge->process_id() == 0) {
      std::vector<std::string> command = bridge_options().command;
      say("cannot start the bridge " + (command.empty() ? std::string() : command[0]) + ": " +
          opened.status.failure);
    }
    return app->bridge->process_id() == 0 && !bridge_program_exists() ? info_not_installed
                                                                      : info_os_resource_error;
  }
  if (opened.stage != capi_bridge::open_stage::registered) {
    if (verbose())
      say("bridge " + std::to_string(app->bridge->process_id()) +
          " registered nothing: " + opened.status.text());
    return opened.status.info;
  }
  const long bridge = app->bridge->process_id();
  {
    std::lock_guard lock(the().mutex);
    unsigned id = 1;
    while (the().applications.count(id) != 0)
      ++id;
    app->id = id;
    app->host_id = opened.appl_id;
    the().applications[id] = std::move(app);
    appl_id = id;
  }
  if (verbose())
    say(named(appl_id, opened.appl_id, bridge) + " registered");
  return info_ok;
}

unsigned release(unsigned appl_id) {
  std::shared_ptr<application> app;
  {
    std::lock_guard lock(the().mutex);
    auto it = the().applications.find(appl_id);
    if (it == the().applications.end())
      return info_illegal_appl_id;
    app = std::move(it->second);
    the().applications.erase(it);
  }
  {
    // Every thread that waits for a message of the application returns now.
    std::lock_guard lock(app->mutex);
    app->released = true;
    app->stopping = true;
    app->changed.notify_all();
  }
  end_calls(*app);
  long bridge = app->bridge->process_id();
  app->bridge->close();
  if (verbose())
    say(named(appl_id, app->host_id, bridge) + " released");
  return info_ok;
}

unsigned put_message(unsigned appl_id, const std::uint8_t* message) {
  std::shared_ptr<application> app = find(appl_id);
  if (!app)
    return info_illegal_appl_id;
  if (message == nullptr)
    return info_illegal_command;
  hold held(*app);
  if (!held)
    return info_illegal_appl_id;
  std::size_t length = get_le16(message);
  if (length < field::header_size)
    return info_illegal_command;
  std::uint8_t command = message[field::command], subcommand = message[field::subcommand];
  bool data_b3_req = command == field::command_data_b3 && subcommand == field::subcommand_req;
  bool data_b3_resp = command == field::command_data_b3 && subcommand == field::subcommand_resp;
  bool disconnect_b3_resp = command == field::command_disconnect_b3 &&
                            subcommand == field::subcommand_resp && length >= field::address + 4;
  // The Put as the bridge takes it: the message with a DATA_B3_REQ in its
  // 30-byte form, the data behind it.
  bytes body{'M'};
  body.insert(body.end(), message, message + length);
  if (data_b3_req && length >= field::data_b3_size_without_data64) {
    std::size_t count = get_le16(message + field::data_length);
    if (count > registered_block_size)
      return info_data_length_not_supported;
    const std::uint8_t* data = request_data(message, length, the().config.pointers);
    if (data == nullptr && count != 0)
      return info_illegal_command;
    if (length < field::data_b3_size_with_data64) {
      body.resize(1 + field::data_b3_size_with_data64, 0);
      field::put_le16(body.data() + 1, field::data_b3_size_with_data64);
    }
    field::put_le32(body.data() + 1 + field::data, 0);
    field::put_le64(body.data() + 1 + field::data64, 0);
    body.insert(body.end(), data, data + count);
  }
  // Everything the bridge would refuse is refused here: its reply is not
  // waited for (see the header).
  if (std::uint32_t refused = field::put_refusal(body.data() + 1, body.size() - 1);
      refused != field::put_passes)
    return refused;
  const bytes copy(body.begin() + 1, body.begin() + 1 + get_le16(body.data() + 1));
  std::uint16_t handle = data_b3_req ? get_le16(body.data() + 1 + field::data_handle) : 0;
  std::shared_ptr<client> bridge;
  bool answers_held = false;
  {
    std::lock_guard lock(app->mutex);
    if (app->gone)
      return info_host_gone;
    if (data_b3_resp) {
      // The program is done with the data it answers, whatever comes of the
      // response, as with the library. It goes before the response does:
      // once the bridge has it, the library may hand the same Data handle or
      // NCCI out again, and another thread may fetch new data under it.
      std::uint32_t ncci =
          length >= field::data_b3_resp_size ? get_le32(message + field::address) : 0;
      bool answers = length >= field::data_b3_resp_size &&
                     app->held.erase({ncci, get_le16(message + field::resp_data_handle)}) != 0;
      // The bridge fetched the call's DISCONNECT_IND ahead of the program,
      // and the library let go of the call's DATA_B3_IND with it: the
      // response answers what the program could still answer, and goes
      // nowhere, as the host has cleared the call.
      if (length >= field::data_b3_resp_size && disconnect_waits(*app, ncci))
        return info_ok;
      answers_held = answers;
    } else if (disconnect_b3_resp) {
      std::uint32_t ncci = get_le32(message + field::address);
      std::erase_if(app->held, [ncci](const auto& h) { return h.first.ncci == ncci; });
    }
    // A response to what a lost host sent goes nowhere; a request while
    // the host is away is refused, as on a lost connection.
    if (subcommand == field::subcommand_resp &&
        (app->away || answers_ended_call(app->book, {message, length})))
      return info_ok;
    if (app->away)
      return info_host_gone;
    // A DATA_B3_RESP for nothing the program holds: the library would end
    // the process.
    if (data_b3_resp && !answers_held)
      return info_not_in_current_state;
    if (data_b3_req) {
      if (app->sending[handle])
        return info_queue_busy;
      app->sending.set(handle);
    }
    field::put_le16(body.data() + 1 + field::appl_id, static_cast<std::uint16_t>(app->host_id));
    bridge = app->bridge;
    note_put(app->book, copy);
  }
  // Written, and its reply taken later: by this application's next call
  // that goes to the bridge, at the latest. A refusal then can only mean
  // that the host or the bridge has gone.
  std::uint64_t number = 0;
  std::weak_ptr<application> owner = app;
  const client* refusing = bridge.get();
  capi_bridge::outcome put = bridge->post(
      body,
      [owner, refusing](const raw_reply& reply) {
        if (std::shared_ptr<application> refused = owner.lock(); refused && !reply.status.ok())
          bridge_lost(*refused, refusing);
      },
      &number);
  if (put.from == source::transport) {
    {
      std::lock_guard lock(app->mutex);
      forget_put(app->book, copy);
      if (data_b3_req)
        app->sending.reset(handle);
    }
    bridge_lost(*app, bridge.get());
    // A response found the host gone: it answered what is lost with it.
    std::lock_guard lock(app->mutex);
    return subcommand == field::subcommand_resp && !app->gone ? info_ok : info_host_gone;
  }
  {
    // Reported as sent: should the host be lost before it confirms, the
    // confirmation is made up (lost_calls.hpp). Lost already (another
    // thread found out while this was on its way): it goes before the
    // made-up indications not yet handed out, as a confirmation comes
    // before the end of its call.
    std::lock_guard lock(app->mutex);
    if (std::optional<bytes> owed = accepted_put(app->book, copy)) {
      bool was_ready = app->ready();
      app->ended.push_front(std::move(*owed));
      notify_changed(*app, was_ready);
    }
  }
  if (bridge->settle(number).from == source::transport)
    bridge_lost(*app, bridge.get());
  std::lock_guard lock(app->mutex);
  return app->gone ? info_host_gone : info_ok;
}

unsigned get_message(unsigned appl_id, std::uint8_t** message) {
  std::shared_ptr<application> app = find(appl_id);
  if (!app)
    return info_illegal_appl_id;
  if (message == nullptr)
    return info_host_gone;
  hold held(*app);
  if (!held)
    return info_illegal_appl_id;
  {
    std::lock_guard lock(app->mutex);
    if (has_message(*app)) {
      *message = hand_out(*app);
      return info_ok;
    }
    if (app->gone)
      return info_host_gone;
    if (app->away)
      return info_queue_empty;
  }
  // A waiting Get of no time rather than a Get: where the bridge cannot
  // look into the connection, only a wait tells a lost host from a quiet
  // one.
  capi_bridge::outcome fetched = fetch(*app, 0);
  std::lock_guard lock(app->mutex);
  if (has_message(*app)) {
    *message = hand_out(*app);
    return info_ok;
  }
  if (app->gone)
    return info_host_gone;
  if (app->away)
    return info_queue_empty;
  return fetched.ok() ? info_queue_empty : fetched.info;
}

unsigned wait_for_message(unsigned appl_id, std::optional<std::chrono::milliseconds> timeout) {
  std::shared_ptr<application> app = find(appl_id);
  if (!app)
    return info_illegal_appl_id;
  auto until = std::chrono::steady_clock::now() + timeout.value_or(std::chrono::milliseconds(0));
  bool asked = false;
  std::unique_lock lock(app->mutex);
  for (;;) {
    if (app->released)
      return info_illegal_appl_id;
    if (app->ready())
      return info_ok;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    // A time-out of 0 still asks the bridge once, as the library looks
    // at its connection once.
    bool no_time_left = timeout && left.count() <= 0;
    if (no_time_left && asked)
      return info_queue_empty;
    // Another thread's waiting Get, or the pump's, brings what comes; while
    // the host is away, the reconnector's news.
    if (app->fetching || app->pump.joinable() || app->away) {
      if (no_time_left)
        return info_queue_empty;
      if (timeout)
        app->changed.wait_until(lock, until);
      else
        app->changed.wait(lock);
      continue;
    }
    app->fetching = true;
    asked = true;
    ++app->running;
    lock.unlock();
    {
      struct fetched {
        application& app;
        ~fetched() {
          std::lock_guard done(app.mutex);
          app.fetching = false;
          --app.running;
          app.changed.notify_all();
        }
      } turn{*app};
      fetch(*app, timeout ? static_cast<std::uint32_t>(
                                std::clamp<long long>(left.count(), 0, longest_wait))
                          : longest_wait);
    }
    lock.lock();
  }
}

unsigned get_profile(unsigned controller, std::uint8_t* profile) {
  if (profile == nullptr)
    return info_host_gone;
  std::shared_ptr<client> asked;
  std::shared_ptr<application> owner = usable_application();
  std::optional<hold> held;
  if (owner)
    held.emplace(*owner);
  if (held && *held)
    asked = bridge_of(*owner);
  client* bridge = asked.get();
  if (bridge == nullptr) {
    if (installed() != info_ok)
      return info_message_not_installed;
    std::lock_guard lock(the().control_mutex);
    asked = the().control;
    bridge = asked.get();
  }
  if (bridge == nullptr)
    return info_message_not_installed;
  capi_bridge::profile_result r = bridge->profile(controller);
  std::memcpy(profile, r.value.raw.data(), r.value.raw.size());
  return r.status.from == source::transport ? info_host_gone : r.status.info;
}

namespace {

// After a fetch that found the bridge or host gone: waits until a new
// bridge serves the application (true), or it is gone for good or released.
bool back_again(application& app) {
  std::unique_lock lock(app.mutex);
  app.changed.wait(lock, [&app] { return app.stopping || app.gone || !app.away; });
  return !app.stopping && !app.gone;
}

} // namespace

bool watch(unsigned appl_id, void (*waiting)(void* context, bool now), void* context) {
  std::shared_ptr<application> app = find(appl_id);
  if (!app)
    return false;
  std::lock_guard lock(app->mutex);
  if (app->pump.joinable())
    return true;
  if (app->released)
    return false;
  app->waiting = waiting;
  app->context = context;
  struct undo {
    application& app;
    bool keep = false;
    ~undo() {
      if (!keep)
        app.waiting = nullptr;
    }
  } unless_started{*app};
  app->pump = std::thread([app] {
    try {
      while (!app->stopping) {
        if (bridge_gone(fetch(*app, longest_wait)) && !back_again(*app))
          break;
      }
    } catch (...) {
      // Out of memory: the application cannot be served any more.
      mark_gone(*app);
    }
    std::lock_guard done(app->mutex);
    app->pump_done = true;
    app->changed.notify_all();
  });
  unless_started.keep = true;
  if (app->ready())
    waiting(context, true);
  return true;
}

const char* manufacturer() {
  return "capi-bridge";
}

void version(unsigned (&four)[4]) {
  four[0] = 2;
  four[1] = 0;
  four[2] = CAPI_BRIDGE_VERSION_MAJOR;
  four[3] = CAPI_BRIDGE_VERSION_MINOR;
}

const char* serial_number() {
  return CAPI_BRIDGE_VERSION;
}

} // namespace capi_interface
