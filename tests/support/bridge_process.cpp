// Child-process plumbing for the black-box tests.
#include "bridge_process.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::uint32_t read_le32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

} // namespace

bridge_process::bridge_process(const std::vector<std::string>& argv,
                               const std::map<std::string, std::string>& environment,
                               const std::string& stderr_path) {
  std::signal(SIGPIPE, SIG_IGN);
  int to_child[2], from_child[2];
  if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ < 0)
    throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(to_child[0], 0);
    dup2(from_child[1], 1);
    int err = open(stderr_path.empty() ? "/dev/null" : stderr_path.c_str(),
                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, 2);
    for (const auto& [name, value] : environment)
      setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : argv)
      args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(to_child[0]);
  close(from_child[1]);
  input_ = to_child[1];
  output_ = from_child[0];
}

bridge_process::~bridge_process() {
  close_input();
  close_output();
  if (!reaped_) {
    if (wait(2000ms).timed_out)
      wait(1000ms);
  }
}

bool bridge_process::write(const bytes& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t wrote = ::write(input_, data.data() + done, data.size() - done);
    if (wrote < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

void bridge_process::write_in_background(bytes data) {
  writer_ = std::thread([this, data = std::move(data)] {
    write(data);
    close(input_);
  });
}

void bridge_process::close_input() {
  if (writer_.joinable()) {
    writer_.join();
    input_ = -1;
  }
  if (input_ >= 0)
    close(input_);
  input_ = -1;
}

void bridge_process::close_output() {
  if (output_ >= 0)
    close(output_);
  output_ = -1;
}

std::optional<bytes> bridge_process::read_exactly(std::size_t count,
                                                  std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  bytes data(count);
  std::size_t done = 0;
  while (done < count) {
    pollfd p = {output_, POLLIN, 0};
    int ready = poll(&p, 1, remaining_ms(deadline));
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0)
      return std::nullopt;
    ssize_t got = read(output_, data.data() + done, count - done);
    if (got <= 0)
      return std::nullopt;
    done += static_cast<std::size_t>(got);
  }
  return data;
}

std::optional<reply> bridge_process::read_reply(std::chrono::milliseconds timeout) {
  auto head = read_exactly(8, timeout);
  if (!head)
    return std::nullopt;
  reply r;
  r.length = read_le32(head->data());
  r.info = read_le32(head->data() + 4);
  if (r.length < 4)
    return std::nullopt;
  auto body = read_exactly(r.length - 4, timeout);
  if (!body)
    return std::nullopt;
  r.body = std::move(*body);
  return r;
}

bool bridge_process::output_ends(std::chrono::milliseconds timeout) {
  pollfd p = {output_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
    return false;
  char c;
  return read(output_, &c, 1) == 0;
}

exit_result bridge_process::wait(std::chrono::milliseconds timeout) {
  exit_result result;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      result.exited = WIFEXITED(status);
      result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
      return result;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      reaped_ = true;
      result.timed_out = true;
      return result;
    }
    usleep(2000);
  }
}

bytes le16(std::uint16_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)};
}

bytes le32(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

bytes frame(const bytes& body) { return le32(static_cast<std::uint32_t>(body.size())) + body; }

bytes frame(const std::string& body) { return frame(bytes(body.begin(), body.end())); }

bytes open_request(std::uint16_t port, std::uint16_t max_logical_connections,
                   const std::string& host) {
  return frame(bytes{'O'} + le16(port) + le16(max_logical_connections) +
               bytes(host.begin(), host.end()));
}

bytes profile_request(std::uint32_t controller) { return frame(bytes{'P'} + le32(controller)); }

bytes put_request(const bytes& message, const bytes& payload) {
  return frame(bytes{'M'} + message + payload);
}

bytes from_hex(const std::string& hex) {
  std::string digits;
  for (char c : hex)
    if (c != ' ')
      digits += c;
  bytes data;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
    data.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return data;
}

std::string to_hex(const bytes& data) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (auto b : data) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}
