#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "temp_dir.h"

extern char** environ;

#ifndef COMM_RMS_TEST_EMULATOR
#define COMM_RMS_TEST_EMULATOR ""
#endif

namespace reliability {

namespace {

void pause_ms(int ms) {
  timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

}  // namespace

std::vector<std::string> emulator_words() {
  std::vector<std::string> words;
  std::istringstream in(COMM_RMS_TEST_EMULATOR);
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

child_process::~child_process() {
  if (running()) kill_now();
}

bool child_process::start(const std::vector<std::string>& argv, const std::string& log_path,
                          bool through_emulator) {
  if (running() || argv.empty()) return false;
  std::vector<std::string> words;
  if (through_emulator) words = emulator_words();
  words.insert(words.end(), argv.begin(), argv.end());
  std::vector<char*> args;
  for (std::string& w : words) args.push_back(&w[0]);
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  pid_ = pid;
  return true;
}

bool child_process::send(int signal) const {
  return running() && ::kill(pid_, signal) == 0;
}

bool child_process::wait_exit(int timeout_ms) {
  if (!running()) return true;
  for (int waited = 0;; waited += 5) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_ || (done < 0 && errno == ECHILD)) {
      pid_ = -1;
      return true;
    }
    if (waited >= timeout_ms) return false;
    pause_ms(5);
  }
}

int child_process::exit_status(int timeout_ms) {
  if (!running()) return -1;
  for (int waited = 0;; waited += 5) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (waited >= timeout_ms) return -1;
    pause_ms(5);
  }
}

bool child_process::kill_now() {
  if (!running()) return true;
  ::kill(pid_, SIGKILL);
  ::kill(pid_, SIGCONT);  // a stopped child dies only once it runs again
  return wait_exit(10000);
}

bool wait_for_text(const std::string& path, const std::string& text, int timeout_ms) {
  for (int waited = 0;; waited += 10) {
    if (read_file(path).find(text) != std::string::npos) return true;
    if (waited >= timeout_ms) return false;
    pause_ms(10);
  }
}

}  // namespace reliability
