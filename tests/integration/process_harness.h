// Real processes for the integration tests: the build's programs started
// through the test emulator (if any), their output captured in files of a
// private run directory, every wait bounded.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace harness {

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Polls `done` every 10 ms for at most `timeout_ms`.
template <typename Predicate>
bool wait_until(Predicate done, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

class process {
 public:
  ~process() {
    if (pid_ > 0) wait(0);
    if (stdin_fd_ >= 0) ::close(stdin_fd_);
  }

  // Starts `program` with `args`; stdout and stderr go to <dir>/<name>.out
  // and .err. With `pipe_stdin` the test writes its standard input.
  bool start(const std::string& program, const std::vector<std::string>& args,
             const std::string& dir, const std::string& name, bool pipe_stdin = false) {
    out_path_ = dir + "/" + name + ".out";
    err_path_ = dir + "/" + name + ".err";
    std::vector<std::string> words;
    std::istringstream emulator(COMM_RMS_TEST_EMULATOR);
    for (std::string w; emulator >> w;) words.push_back(w);
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    // Close-on-exec everywhere, so that no child keeps another's stdin open.
    int in[2] = {-1, -1};
    if (pipe_stdin ? ::pipe2(in, O_CLOEXEC) != 0
                   : (in[0] = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) < 0) {
      return false;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
      ::dup2(in[0], 0);
      ::dup2(::open(out_path_.c_str(), flags, 0600), 1);
      ::dup2(::open(err_path_.c_str(), flags, 0600), 2);
      ::execvp(argv[0], argv.data());
      _exit(127);
    }
    ::close(in[0]);
    stdin_fd_ = in[1];
    return pid_ > 0;
  }

  void write_stdin(const std::string& text) {
    EXPECT_EQ(::write(stdin_fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  // Exit code, 128 + signal when a signal ended it, or -1 when it still ran
  // after `timeout_ms` (it is then killed).
  int wait(int timeout_ms = 30000) {
    int status = 0;
    const bool ended =
        wait_until([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeout_ms);
    if (!ended) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    if (!ended) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  void signal(int sig) { ::kill(pid_, sig); }
  pid_t pid() const { return pid_; }
  std::string out() const { return read_file(out_path_); }
  std::string err() const { return read_file(err_path_); }
  bool out_has(const std::string& text) const {
    return wait_until([&] { return out().find(text) != std::string::npos; }, 20000);
  }

 private:
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  std::string out_path_;
  std::string err_path_;
};

// A private VANTOREL_RUN_DIR for one test, removed with its files after it.
class run_dir {
 public:
  run_dir() {
    char name[] = "/tmp/comm_rms_it.XXXXXX";
    path_ = ::mkdtemp(name);
    ::setenv("VANTOREL_RUN_DIR", path_.c_str(), 1);
  }
  ~run_dir() { EXPECT_EQ(std::system(("rm -rf '" + path_ + "'").c_str()), 0); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Runs one program to its end; returns its exit code and fills out/err.
inline int run(const std::string& program, const std::vector<std::string>& args, const run_dir& dir,
               std::string* out = nullptr, std::string* err = nullptr) {
  static int serial = 0;
  process p;
  if (!p.start(program, args, dir.path(), "run" + std::to_string(++serial))) return -1;
  const int code = p.wait();
  if (out != nullptr) *out = p.out();
  if (err != nullptr) *err = p.err();
  return code;
}

// The simulator, started and ready to serve.
inline bool start_service(process& service, const run_dir& dir,
                          const std::vector<std::string>& args = {}) {
  return service.start(COMM_RMS_SERVICE, args, dir.path(), "service") &&
         service.out_has("comm-rms-service: serving f_comm_rms at " + dir.path() +
                         "/f_comm_rms.sock\n");
}

}  // namespace harness
