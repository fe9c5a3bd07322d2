// SPDX-License-Identifier: MIT
// The misbehaving host: one thread that accepts, answers the library's own
// requests and records what applications send.
#include "fake_host.hpp"

#include "entry_points.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>

using namespace capimsg;

bytes framed(const bytes& payload) {
  bytes frame = {0x80};
  append_u16(frame, static_cast<std::uint16_t>(payload.size()));
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

fake_host::fake_host(std::vector<bytes> register_reply, bytes profile_reply)
    : register_reply_(std::move(register_reply)), profile_reply_(std::move(profile_reply)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
      ::listen(listener_, 16) == 0 &&
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) == 0)
    port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

fake_host::~fake_host() {
  stop_ = true;
  thread_.join();
  for (int fd : fds_)
    ::close(fd);
  ::close(listener_);
}

void fake_host::use() const {
  char driver[] = "fritzbox";
  char host[] = "127.0.0.1";
  capi20ext_set_driver(driver);
  capi20ext_set_host(host);
  capi20ext_set_port(port_);
}

bytes fake_host::register_reply(std::uint16_t appl_id, std::uint16_t info) {
  bytes reply = {0x80, 18};
  bytes body(18, 0);
  put_u16(body, 0, 18);
  put_u16(body, 2, appl_id);
  body[4] = 0x20;
  body[5] = 0x81;
  put_u16(body, 16, info);
  reply.insert(reply.end(), body.begin(), body.end());
  return reply;
}

bytes fake_host::profile_reply() {
  bytes reply = register_reply(0);
  reply[1] = 18 + 64;
  for (std::uint8_t i = 0; i < 64; ++i)
    reply.push_back(static_cast<std::uint8_t>(i + 1));
  return reply;
}

void fake_host::serve() {
  std::map<int, bytes> pending; // per connection: bytes not yet framed
  std::vector<int> registered;
  while (!stop_) {
    std::vector<pollfd> fds = {{listener_, POLLIN, 0}};
    {
      std::lock_guard<std::mutex> hold(lock_);
      for (int fd : fds_)
        fds.push_back({fd, POLLIN, 0});
    }
    if (::poll(fds.data(), fds.size(), 20) <= 0)
      continue;
    if ((fds[0].revents & POLLIN) != 0) {
      int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        std::lock_guard<std::mutex> hold(lock_);
        fds_.push_back(fd);
        ++accepted_;
      }
    }
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
        continue;
      int fd = fds[i].fd;
      std::uint8_t buffer[8192];
      ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (got <= 0) {
        std::lock_guard<std::mutex> hold(lock_);
        std::erase(fds_, fd);
        ::close(fd);
        continue;
      }
      bool is_application = false;
      {
        std::lock_guard<std::mutex> hold(lock_);
        is_application = fd == application_;
        if (is_application)
          received_.insert(received_.end(), buffer, buffer + got);
      }
      if (is_application)
        continue;
      bytes& in = pending[fd];
      in.insert(in.end(), buffer, buffer + got);
      // The library's own requests: 23 bytes register, 21 get-profile.
      if (in.size() >= 14 && in[13] == 0x09 && in.size() >= 23) {
        in.erase(in.begin(), in.begin() + 23);
        {
          std::lock_guard<std::mutex> hold(lock_);
          application_ = fd;
          received_ = in;
        }
        for (std::size_t piece = 0; piece < register_reply_.size(); ++piece) {
          if (piece > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
          if (register_reply_[piece].empty())
            ::shutdown(fd, SHUT_RDWR);
          else
            ::send(fd, register_reply_[piece].data(), register_reply_[piece].size(), MSG_NOSIGNAL);
        }
      } else if (in.size() >= 21 && in[13] == 0x05) {
        in.erase(in.begin(), in.begin() + 21);
        ::send(fd, profile_reply_.data(), profile_reply_.size(), MSG_NOSIGNAL);
      }
    }
  }
}

bytes fake_host::received(std::size_t count) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (received_.size() >= count || std::chrono::steady_clock::now() > deadline)
        return received_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void fake_host::send(const bytes& frame) {
  std::lock_guard<std::mutex> hold(lock_);
  ::send(application_, frame.data(), frame.size(), MSG_NOSIGNAL);
}

void fake_host::close_application() {
  std::lock_guard<std::mutex> hold(lock_);
  ::shutdown(application_, SHUT_RDWR);
}
