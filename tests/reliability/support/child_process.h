// A program of this build run as a child process, for tests that kill,
// stall and restart it. Started through the build's test emulator when one
// is set (COMM_RMS_TEST_EMULATOR, words separated by spaces).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace reliability {

class child_process {
 public:
  child_process() = default;
  ~child_process();  // a child still running is killed and reaped
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;

  // Starts `argv` with stdout and stderr written to `log_path`, through the
  // emulator unless `argv` places it itself. False when it could not be
  // started (or one is still running).
  bool start(const std::vector<std::string>& argv, const std::string& log_path,
             bool through_emulator = true);
  // Waits up to `timeout_ms` for the child to end; its exit status, or -1.
  int exit_status(int timeout_ms);
  // Sends `signal`; false when no child is running.
  bool send(int signal) const;
  // Waits up to `timeout_ms` for the child to end and reaps it.
  bool wait_exit(int timeout_ms);
  // SIGKILL, then reap (bounded).
  bool kill_now();
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// Waits up to `timeout_ms` until the file at `path` contains `text`.
bool wait_for_text(const std::string& path, const std::string& text, int timeout_ms);

// Emulator words of the test build (empty on the host).
std::vector<std::string> emulator_words();

}  // namespace reliability
