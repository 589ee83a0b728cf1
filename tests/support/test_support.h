// Helpers every test group shares: files and private directories, the
// build's programs run as child processes (through the test emulator, if
// any), raw socket calls and forked children. Every wait is bounded.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "comm_rms/debug_dump.h"

namespace test_support {

// Whole content of a file; "" when it cannot be read.
std::string read_file(const std::string& path);
// Blank-separated words of `text`.
std::vector<std::string> words(const std::string& text);
// A new directory "/tmp/<prefix>XXXXXX" (mode 0700), or "" on failure.
std::string make_temp_dir(const char* prefix);
// Removes `path` and everything below it; best effort.
void remove_tree(const std::string& path);
// Open descriptors of this process.
int open_fd_count();

// Polls `done` every 5 ms for at most `timeout_ms`.
template <typename Predicate>
bool wait_until(Predicate done, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
    if (std::chrono::steady_clock::now() > deadline) return false;
  return true;
}

// A private VANTOREL_RUN_DIR, removed with its files by the process that
// made it (not by a forked child that exits through the exit handlers).
class run_dir {
 public:
  run_dir();
  ~run_dir() { remove_tree(getpid() == owner_ ? path_ : ""); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  pid_t owner_ = getpid();
};

class process {
 public:
  ~process() { kill_now(); }

  // Starts `argv` through the emulator, stdout to <base>.out and stderr to
  // <base>.err; its standard input is a pipe the test writes.
  bool start(const std::vector<std::string>& argv, const std::string& base);
  bool write_stdin(const std::string& text) const;
  // As wait_child (closing its standard input first).
  int wait(int timeout_ms = 30000);
  // SIGKILL (and SIGCONT, for a stopped child), then reap.
  void kill_now() { wait(0); }
  void signal(int sig) const { static_cast<void>(pid_ > 0 && kill(pid_, sig) == 0); }
  pid_t pid() const { return pid_; }
  std::string out() const { return read_file(base_ + ".out"); }
  std::string err() const { return read_file(base_ + ".err"); }
  // Whether `text` turns up in its stdout or stderr within `timeout_ms`.
  bool shows(const std::string& text, int timeout_ms = 20000) const;

 private:
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  std::string base_;
};

// Runs `argv` to its end in `dir`; its exit code, out and err.
int run(const std::vector<std::string>& argv, const run_dir& dir, std::string* out = nullptr,
        std::string* err = nullptr);

// The simulator at `program`, started with `args` and ready to serve; its
// output goes to <run dir>/<name>.out and .err.
bool start_service(process& service, const char* program, const run_dir& dir,
                   const std::vector<std::string>& args = {}, const std::string& name = "service");

// The dump's fixed directory, made empty (0700) for the guard's life. Only
// in the private /tmp that run_isolated.sh gives a test; elsewhere ready()
// is false, and nothing is touched.
class fixed_dump_dir {
 public:
  static constexpr const char* kPath = vantorel::debug_dump::directory;
  static constexpr const char* kFile = vantorel::debug_dump::path;
  fixed_dump_dir();
  ~fixed_dump_dir() { remove_tree(ready_ ? kPath : ""); }
  bool ready() const { return ready_; }

 private:
  bool ready_ = false;
};

// In a test body: skips the test unless the fixed dump directory is ready.
#define REQUIRE_FIXED_DUMP_DIR(guard) \
  if (!(guard).ready())               \
  GTEST_SKIP() << "no private /tmp/debug_file: run through tests/run_isolated.sh"

// The library's singletons live for the whole process. A scenario that must
// start from a freshly loaded library runs in a child that re-runs this test
// binary (gtest's "threadsafe" death-test style): a plain fork would inherit
// every singleton the parent already made. Its gtest failures show up in the
// parent through the child's exit status and stderr.
// (Used in a test body, which has included gtest.)
#define IN_FRESH_PROCESS(...)                                                                     \
  do {                                                                                            \
    GTEST_FLAG_SET(death_test_style, "threadsafe");                                               \
    EXPECT_EXIT((({ __VA_ARGS__; }), std::fflush(nullptr), _exit(::testing::Test::HasFailure())), \
                ::testing::ExitedWithCode(0), "");                                                \
  } while (0)

// Exit code of child `pid`, 128 + signal when a signal ended it, or -1 when
// it still ran after `timeout_ms` (it is then killed). Raw system calls only.
int wait_child(pid_t pid, int timeout_ms = 5000);
// Runs `child` in a forked process (the test may have threads: the child
// makes raw system calls only) and returns its wait_child status.
template <typename F>
int in_child(F child) {
  const pid_t pid = fork();
  if (pid == 0) _exit(child());
  return wait_child(pid);
}

}  // namespace test_support
