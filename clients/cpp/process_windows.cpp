// SPDX-License-Identifier: MIT
// child_process on Windows: CreateProcess with pipes handed over through an
// explicit handle list. The child's output comes through a named pipe whose
// end here is overlapped, so that a read waits for the child's bytes with a
// deadline and wakes as they come; its input is an anonymous pipe written
// without waiting, and a full pipe is retried.
#include "capi_bridge/process.hpp"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <thread>

namespace capi_bridge {

struct child_process::state {
  HANDLE process = nullptr;
  DWORD pid = 0;
  HANDLE input = nullptr;        // the child's standard input, our end (non-blocking writes)
  HANDLE output = nullptr;       // the child's standard output, our end (overlapped)
  HANDLE output_ready = nullptr; // the event of a read from `output`
  // A job that ends the child when its last handle closes, that is when this
  // process ends, however it ends: a bridge is never left without its client.
  HANDLE job = nullptr;
  bool running = false;
  std::optional<exit_status> ended;
  std::string error;
};

namespace {

void close_handle(HANDLE& h) {
  if (h != nullptr && h != INVALID_HANDLE_VALUE)
    CloseHandle(h);
  h = nullptr;
}

std::string last_error_text(const std::string& what) {
  return what + " failed (Windows error " + std::to_string(GetLastError()) + ")";
}

// One argument quoted so that the C runtime's parser gives it back unchanged.
std::string quoted(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos)
    return argument;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, '\\');
  return out + "\"";
}

bool same_name(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

// Our environment block without `unset`, with `extra` set over it (names
// compare without case).
std::string environment_block(const std::vector<std::pair<std::string, std::string>>& extra,
                              const std::vector<std::string>& unset) {
  std::vector<std::pair<std::string, std::string>> all;
  char* strings = GetEnvironmentStringsA();
  for (const char* p = strings; p != nullptr && *p != '\0'; p += std::strlen(p) + 1) {
    std::string entry = p;
    // Entries such as "=C:=C:\\dir" start with '='; they are kept whole.
    auto equals = entry.find('=', 1);
    if (equals != std::string::npos)
      all.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
  }
  if (strings != nullptr)
    FreeEnvironmentStringsA(strings);
  for (const std::string& name : unset)
    std::erase_if(all, [&](const auto& entry) { return same_name(entry.first, name); });
  for (const auto& [name, value] : extra) {
    auto it = std::find_if(all.begin(), all.end(),
                           [&](const auto& entry) { return same_name(entry.first, name); });
    if (it != all.end())
      it->second = value;
    else
      all.emplace_back(name, value);
  }
  std::string block;
  for (const auto& [name, value] : all) {
    block += name + "=" + value;
    block += '\0';
  }
  block += '\0';
  return block;
}

// The longest single wait of the system's: a wait up to a later deadline is
// made of several.
constexpr long long longest_slice_ms = 60000;

DWORD milliseconds_left(deadline until) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      until - std::chrono::steady_clock::now());
  return left.count() <= 0 ? 0 : static_cast<DWORD>(std::min(left.count() + 1, longest_slice_ms));
}

// A pipe like CreatePipe's whose reading end, ours, is overlapped;
// anonymous pipes cannot be.
bool create_output_pipe(HANDLE& ours, HANDLE& childs, SECURITY_ATTRIBUTES* inheritable) {
  static std::atomic<unsigned> created{0};
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string name = "\\\\.\\pipe\\capi-bridge-output-" + std::to_string(GetCurrentProcessId()) +
                       "-" + std::to_string(created++) + "-" + std::to_string(GetTickCount64());
    ours = CreateNamedPipeA(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 1 << 16,
        1 << 16, 0, nullptr);
    if (ours == INVALID_HANDLE_VALUE) {
      ours = nullptr;
      // Taken by another pipe: the next name.
      if (GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_PIPE_BUSY)
        continue;
      return false;
    }
    childs = CreateFileA(name.c_str(), GENERIC_WRITE, 0, inheritable, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (childs != INVALID_HANDLE_VALUE)
      return true;
    childs = nullptr;
    close_handle(ours);
    return false;
  }
  return false;
}

// Reads what `pipe` holds, up to `want` bytes, waiting until `until` for the
// first: `done` with `got` bytes (0 only after an empty write of the
// child's), `timed_out` with none.
io_result read_available(HANDLE pipe, HANDLE ready, std::uint8_t* data, DWORD want, DWORD& got,
                         deadline until) {
  got = 0;
  OVERLAPPED request{};
  request.hEvent = ready;
  if (!ReadFile(pipe, data, want, nullptr, &request)) {
    DWORD code = GetLastError();
    if (code != ERROR_IO_PENDING)
      return code == ERROR_BROKEN_PIPE ? io_result::ended : io_result::failed;
    // A deadline further off than one slice takes several.
    for (;;) {
      DWORD waited = WaitForSingleObject(ready, milliseconds_left(until));
      if (waited == WAIT_OBJECT_0)
        break;
      if (waited != WAIT_TIMEOUT || std::chrono::steady_clock::now() >= until) {
        // Bytes that came meanwhile are still taken below.
        CancelIoEx(pipe, &request);
        break;
      }
    }
  }
  if (!GetOverlappedResult(pipe, &request, &got, TRUE)) {
    DWORD code = GetLastError();
    if (code == ERROR_OPERATION_ABORTED)
      return io_result::timed_out;
    return code == ERROR_BROKEN_PIPE ? io_result::ended : io_result::failed;
  }
  return io_result::done;
}

// A short pause that grows with each round without progress: 0, 1, 2 ms.
void back_off(int& rounds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(rounds < 2 ? rounds : 2));
  ++rounds;
}

} // namespace

child_process::child_process() : s_(std::make_unique<state>()) {}

child_process::~child_process() {
  if (s_ == nullptr)
    return;
  if (s_->running)
    kill();
  close_handle(s_->input);
  close_handle(s_->output);
  close_handle(s_->output_ready);
  close_handle(s_->process);
  close_handle(s_->job);
}

// Move assignment (process.cpp) is built on this and the destructor.
child_process::child_process(child_process&&) noexcept = default;

bool child_process::start(const process_options& options) {
  if (options.command.empty()) {
    s_->error = "no command given";
    return false;
  }
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE child_in = nullptr, our_in = nullptr, our_out = nullptr, child_out = nullptr;
  if (!CreatePipe(&child_in, &our_in, &inheritable, 0) ||
      !create_output_pipe(our_out, child_out, &inheritable)) {
    s_->error = last_error_text("creating the pipes");
    close_handle(child_in);
    close_handle(our_in);
    return false;
  }
  s_->output_ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (s_->output_ready == nullptr) {
    s_->error = last_error_text("CreateEvent");
    for (HANDLE* h : {&child_in, &our_in, &our_out, &child_out})
      close_handle(*h);
    return false;
  }
  SetHandleInformation(our_in, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(our_out, HANDLE_FLAG_INHERIT, 0);
  // A write then takes what fits and returns, so a deadline can be kept.
  DWORD no_wait = PIPE_READMODE_BYTE | PIPE_NOWAIT;
  SetNamedPipeHandleState(our_in, &no_wait, nullptr, nullptr);

  const char* error_file = options.stderr_path.empty() ? "NUL" : options.stderr_path.c_str();
  HANDLE child_err = CreateFileA(error_file, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inheritable, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  auto give_up = [&](const std::string& why) {
    s_->error = why;
    for (HANDLE* h : {&child_in, &our_in, &our_out, &child_out, &child_err})
      close_handle(*h);
    return false;
  };
  if (child_err == INVALID_HANDLE_VALUE)
    return give_up(
        last_error_text("cannot open the standard error file " + std::string(error_file)));

  // Only these three handles reach the child, whatever else is inheritable.
  HANDLE handed_over[3] = {child_in, child_out, child_err};
  SIZE_T list_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<char> list_memory(list_size);
  auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
  if (!InitializeProcThreadAttributeList(list, 1, 0, &list_size) ||
      !UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handed_over,
                                 sizeof handed_over, nullptr, nullptr))
    return give_up(last_error_text("preparing the handle list"));

  STARTUPINFOEXA startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = child_in;
  startup.StartupInfo.hStdOutput = child_out;
  startup.StartupInfo.hStdError = child_err;
  startup.lpAttributeList = list;

  std::string command_line;
  for (const std::string& argument : options.command) {
    if (!command_line.empty())
      command_line += ' ';
    command_line += quoted(argument);
  }
  std::string environment = environment_block(options.environment, options.unset_environment);
  PROCESS_INFORMATION info{};
  // A process group of its own: a console's Ctrl-C is for this program,
  // not for its bridge. Suspended until it is in the job.
  BOOL started = CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, TRUE,
                                EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW |
                                    CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED,
                                environment.data(), nullptr, &startup.StartupInfo, &info);
  DeleteProcThreadAttributeList(list);
  if (!started)
    return give_up(last_error_text("starting " + options.command[0]));
  // Where jobs cannot be nested (before Windows 8) or are not allowed, the
  // child runs without one.
  s_->job = CreateJobObjectA(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (s_->job == nullptr ||
      !SetInformationJobObject(s_->job, JobObjectExtendedLimitInformation, &limits,
                               sizeof limits) ||
      !AssignProcessToJobObject(s_->job, info.hProcess))
    close_handle(s_->job);
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  close_handle(child_in);
  close_handle(child_out);
  close_handle(child_err);
  s_->process = info.hProcess;
  s_->pid = info.dwProcessId;
  s_->input = our_in;
  s_->output = our_out;
  s_->running = true;
  return true;
}

const std::string& child_process::error() const {
  return s_->error;
}

bool child_process::running() const {
  return s_->running;
}

long child_process::id() const {
  return static_cast<long>(s_->pid);
}

io_result child_process::write(const std::uint8_t* data, std::size_t size, deadline until) {
  if (s_->input == nullptr)
    return io_result::ended;
  std::size_t done = 0;
  int rounds = 0;
  while (done < size) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, 1 << 16));
    DWORD wrote = 0;
    if (!WriteFile(s_->input, data + done, chunk, &wrote, nullptr)) {
      DWORD code = GetLastError();
      return code == ERROR_BROKEN_PIPE || code == ERROR_NO_DATA ? io_result::ended
                                                                : io_result::failed;
    }
    done += wrote;
    if (wrote > 0) {
      rounds = 0;
      continue;
    }
    if (std::chrono::steady_clock::now() >= until)
      return io_result::timed_out;
    back_off(rounds);
  }
  return io_result::done;
}

io_result child_process::read(std::uint8_t* data, std::size_t size, deadline until) {
  if (s_->output == nullptr)
    return io_result::ended;
  for (std::size_t done = 0; done < size;) {
    std::size_t got = 0;
    if (io_result r = read_some(data + done, size - done, got, until); r != io_result::done)
      return r;
    done += got;
  }
  return io_result::done;
}

io_result child_process::read_some(std::uint8_t* data, std::size_t size, std::size_t& got,
                                   deadline until) {
  got = 0;
  if (s_->output == nullptr)
    return io_result::ended;
  DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1 << 16));
  for (;;) {
    DWORD count = 0;
    io_result r = read_available(s_->output, s_->output_ready, data, want, count, until);
    if (r != io_result::done)
      return r;
    if (count > 0) {
      got = count;
      return io_result::done;
    }
    if (std::chrono::steady_clock::now() >= until)
      return io_result::timed_out;
  }
}

void child_process::close_input() {
  close_handle(s_->input);
}

void child_process::close_output() {
  close_handle(s_->output);
}

std::optional<exit_status> child_process::wait(deadline until) {
  if (s_->ended)
    return s_->ended;
  if (!s_->running)
    return std::nullopt;
  // A deadline further off than one slice takes several.
  for (;;) {
    DWORD waited = WaitForSingleObject(s_->process, milliseconds_left(until));
    if (waited == WAIT_OBJECT_0)
      break;
    if (waited != WAIT_TIMEOUT || std::chrono::steady_clock::now() >= until)
      return std::nullopt;
  }
  DWORD code = 0;
  GetExitCodeProcess(s_->process, &code);
  exit_status e;
  e.exited = true;
  e.code = static_cast<int>(code);
  s_->running = false;
  s_->ended = e;
  return s_->ended;
}

void child_process::terminate() {
  kill();
}

void child_process::kill_only() {
  if (s_->running)
    TerminateProcess(s_->process, 1);
}

void child_process::kill() {
  if (!s_->running)
    return;
  TerminateProcess(s_->process, 1);
  WaitForSingleObject(s_->process, 5000);
  exit_status e;
  e.code = 1;
  s_->running = false;
  s_->ended = e;
  close_handle(s_->input);
  close_handle(s_->output);
}

} // namespace capi_bridge
