// SPDX-License-Identifier: MIT
// A host that misbehaves on purpose, for one test: it listens on 127.0.0.1,
// answers the library's register and get-profile requests with whatever the
// test gives, and hands the test the application's connection to write
// frames a real host would never send.
#pragma once

#include "capi_bridge/capimsg.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

// A frame as the driver's protocol carries it: 0x80, 16-bit length, payload.
capimsg::bytes framed(const capimsg::bytes& payload);

class fake_host {
public:
  // Register replies go out as `register_reply`'s pieces, 100 ms apart (an
  // empty piece closes the connection); get-profile replies as
  // `profile_reply`, whole. Empty: no answer.
  fake_host(std::vector<capimsg::bytes> register_reply, capimsg::bytes profile_reply);
  ~fake_host();
  fake_host(const fake_host&) = delete;
  fake_host& operator=(const fake_host&) = delete;

  std::uint16_t port() const { return port_; }
  // Points the library at this host.
  void use() const;

  // The last application connection's bytes after its register request, as
  // they came; waits up to 2 s for at least `count` of them.
  capimsg::bytes received(std::size_t count = 0);
  // Writes `frame` on the last application connection.
  void send(const capimsg::bytes& frame);
  // Ends the last application connection.
  void close_application();
  // Connections accepted so far.
  int connections() const { return accepted_; }

  // The usual replies: ID `appl_id` with info `info`; a profile.
  static capimsg::bytes register_reply(std::uint16_t appl_id, std::uint16_t info = 0);
  static capimsg::bytes profile_reply();

private:
  void serve();

  std::vector<capimsg::bytes> register_reply_;
  capimsg::bytes profile_reply_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::mutex lock_;
  std::vector<int> fds_;
  int application_ = -1;
  capimsg::bytes received_;
  std::thread thread_;
};
