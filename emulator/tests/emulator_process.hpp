// capi-host-emulator as a child process of a test: started with --port 0 and
// --verbose, its port taken from its "listening" line, its log in a file.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

struct emulator_process {
  pid_t pid = -1;
  int port = 0;
  std::string log_path;
};

// Starts the emulator with `args` after --port 0 --verbose --exit-after 60,
// stderr into a fresh file in $HOME. Waits at most 5 s for the listening
// line. Returns false with `error` set if it does not come.
bool start_emulator(const std::vector<std::string>& args, emulator_process& p, std::string& error);

// The log so far.
std::string read_log(const emulator_process& p);

// Waits at most `timeout` for `text` to appear in the log.
bool wait_for_log(const emulator_process& p, const std::string& text,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Waits at most `timeout` for the emulator to exit by itself; its exit
// status, or -1 if it is still running (it is killed then) or died of a signal.
int wait_for_exit(emulator_process& p, std::chrono::milliseconds timeout);

// Sends SIGTERM and waits at most 5 s; the exit status as wait_for_exit.
int stop_emulator(emulator_process& p);
