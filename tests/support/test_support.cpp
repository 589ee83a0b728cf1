#include "test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <utility>

namespace test_support {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

std::string make_temp_dir(const char* prefix) {
  std::string pattern = std::string("/tmp/") + prefix + "XXXXXX";
  return mkdtemp(&pattern[0]) == nullptr ? "" : pattern;
}

void remove_tree(const std::string& path) {
  std::error_code ignored;  // symlinks are removed, not followed
  if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

int open_fd_count() {
  std::error_code error;
  std::filesystem::directory_iterator fds("/proc/self/fd", error), end;
  return error ? -1 : static_cast<int>(std::distance(fds, end)) - 1;  // the one listing them
}

run_dir::run_dir() : path_(make_temp_dir("comm_rms_test.")) {
  setenv("VANTOREL_RUN_DIR", path_.c_str(), 1);
}

bool process::start(const std::vector<std::string>& argv, const std::string& base) {
  std::vector<std::string> all = words(COMM_RMS_TEST_EMULATOR);
  all.insert(all.end(), argv.begin(), argv.end());
  std::vector<char*> args;
  for (std::string& w : all) args.push_back(&w[0]);
  args.push_back(nullptr);
  int in[2];  // close-on-exec, so that no child keeps another's stdin open
  if (pid_ > 0 || pipe2(in, O_CLOEXEC) != 0) return false;
  base_ = base;
  const std::string out = base + ".out", err = base + ".err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  stdin_fd_ = in[1];  // closed by wait(), also after a failed start
  return rc == 0;
}

bool process::write_stdin(const std::string& text) const {
  return ::write(stdin_fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

int process::wait(int timeout_ms) {
  if (stdin_fd_ >= 0) close(std::exchange(stdin_fd_, -1));  // a reading child sees the end
  return wait_child(std::exchange(pid_, -1), timeout_ms);
}

bool process::shows(const std::string& text, int timeout_ms) const {
  return wait_until([&] { return (out() + err()).find(text) != std::string::npos; }, timeout_ms);
}

int run(const std::vector<std::string>& argv, const run_dir& dir, std::string* out,
        std::string* err) {
  static int serial = 0;
  process p;
  if (!p.start(argv, dir.path() + "/run" + std::to_string(++serial))) return -1;
  const int code = p.wait();
  if (out != nullptr) *out = p.out();
  if (err != nullptr) *err = p.err();
  return code;
}

bool start_service(process& service, const char* program, const run_dir& dir,
                   const std::vector<std::string>& args, const std::string& name) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  return service.start(argv, dir.path() + "/" + name) &&
         service.shows("comm-rms-service: serving f_comm_rms at " + dir.path() +
                       "/f_comm_rms.sock\n");
}

fixed_dump_dir::fixed_dump_dir() {
  if (std::getenv("COMM_RMS_PRIVATE_TMP") == nullptr) return;  // set by run_isolated.sh
  remove_tree(kPath);
  ready_ = mkdir(kPath, 0700) == 0;
}

int wait_child(pid_t pid, int timeout_ms) {
  int status = 0;
  if (pid < 0) return -1;
  if (!wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms)) {
    kill(pid, SIGKILL);
    kill(pid, SIGCONT);  // a stopped child dies only once it runs again
    waitpid(pid, nullptr, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace test_support
