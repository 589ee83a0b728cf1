// The directory that holds every socket of the host platform, and the
// names of the sockets in it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal/run_directory.h"
#include "vantorel/host/host.h"

namespace vantorel {
namespace host {

namespace {

struct run_dir_state {
  char path[192];
  bool safe;
};

run_dir_state read_state() noexcept {
  run_dir_state s{};
  const char* env = std::getenv("VANTOREL_RUN_DIR");
  int n;
  if (env != nullptr && env[0] != '\0') {
    n = std::snprintf(s.path, sizeof s.path, "%s", env);
  } else {
    n = std::snprintf(s.path, sizeof s.path, "/tmp/vantorel-%u", static_cast<unsigned>(geteuid()));
  }
  // A relative name would put (and create) it wherever the process stands.
  if (n < 0 || static_cast<size_t>(n) >= sizeof s.path || s.path[0] != '/') {
    s.safe = false;
    return s;
  }
  // A trailing slash would make the kernel follow a symlinked last
  // component in spite of O_NOFOLLOW.
  for (size_t end = std::strlen(s.path); end > 1 && s.path[end - 1] == '/'; --end) {
    s.path[end - 1] = '\0';
  }
  mkdir(s.path, 0700);
  // Checked on the opened directory, not on the name: a planted symlink
  // or someone else's directory is not a place for our sockets.
  const int fd = open(s.path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    s.safe = false;
    return s;
  }
  struct stat st {};
  s.safe = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
  close(fd);
  return s;
}

// Read once per process; afterwards one load, where std::call_once would
// also write two thread-local words on every call.
const run_dir_state& state() noexcept {
  static const run_dir_state s = read_state();
  return s;
}

// 0 when a path of `n` characters fits `capacity` and sun_path (with room
// to spare), else -ENAMETOOLONG.
int fits(int n, std::size_t capacity) noexcept {
  const bool too_long =
      n < 0 || static_cast<size_t>(n) >= capacity || static_cast<size_t>(n) >= kMaxSocketPath;
  return too_long ? -ENAMETOOLONG : 0;
}

}  // namespace

const char* run_directory() noexcept {
  return state().path;
}

bool run_directory_safe() noexcept {
  return state().safe;
}

int facade_socket_path(const char* facade_name, char* out, std::size_t capacity) noexcept {
  if (facade_name == nullptr || out == nullptr || facade_name[0] == '\0' ||
      std::strchr(facade_name, '/') != nullptr || std::strcmp(facade_name, ".") == 0 ||
      std::strcmp(facade_name, "..") == 0) {
    return -EINVAL;
  }
  return fits(std::snprintf(out, capacity, "%s/%s.sock", run_directory(), facade_name), capacity);
}

int console_socket_path(pid_t pid, char* out, std::size_t capacity) noexcept {
  if (out == nullptr) return -EINVAL;
  return fits(
      std::snprintf(out, capacity, "%s/ucom.%ld.sock", run_directory(), static_cast<long>(pid)),
      capacity);
}

int reply_timeout_ms() noexcept {
  static std::atomic<int> cached{0};
  int value = cached.load(std::memory_order_acquire);
  if (value != 0) return value;
  value = kDefaultReplyTimeoutMs;
  if (const char* env = std::getenv("VANTOREL_REPLY_TIMEOUT_MS")) {
    char* end = nullptr;
    const long parsed = std::strtol(env, &end, 10);
    if (end != env && *end == '\0' && parsed >= 1 && parsed <= 600000) {
      value = static_cast<int>(parsed);
    }
  }
  cached.store(value, std::memory_order_release);
  return value;
}

}  // namespace host
}  // namespace vantorel
