// The directory that holds every socket of the host platform, its verdict,
// and the names of the sockets in it.
//
// The directory is judged once per process, walking its path from "/" one
// component at a time through descriptors (no symlink followed), and then
// kept open: every later bind, connect, chmod, unlink and listing goes
// through "/proc/self/fd/<descriptor>/", so no name is looked up again and a
// directory swapped after the check is never used.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal/run_directory.h"
#include "vantorel/host/host.h"

namespace vantorel {
namespace host {

namespace {

// A process's console socket in the run directory, by its pid.
constexpr char kConsoleFile[] = "ucom.%ld.sock";

struct run_dir_state {
  char path[sizeof run_dir_verdict::where];
  run_dir_verdict verdict;
  int fd;  // the run directory, open for the life of the process; -1 unless the verdict is ok
  dev_t dev;
  ino_t ino;
};

// A directory on the path may be written only by root or by us, unless it
// is sticky (as /tmp): then nobody else can rename or remove what we own.
bool others_may_swap(const struct stat& st) {
  const bool foreign = st.st_uid != 0 && st.st_uid != geteuid();
  const bool open = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0;
  return foreign || open;
}

// Records the fault, found on the first `length` characters of the path,
// and closes `dir`. Always false.
bool fail(run_dir_state& s, int dir, run_dir_fault what, std::size_t length, int error = 0,
          const struct stat* st = nullptr) {
  if (dir >= 0) close(dir);
  s.verdict.fault = what;
  std::snprintf(s.verdict.where, sizeof s.verdict.where, "%.*s", static_cast<int>(length), s.path);
  s.verdict.error = error;
  if (st != nullptr) {
    s.verdict.mode = static_cast<unsigned>(st->st_mode & 07777);
    s.verdict.owner = static_cast<unsigned>(st->st_uid);
  }
  return false;
}

// Why `name` below `parent` could not be opened as a directory.
run_dir_fault open_failure(int parent, const char* name, int error) {
  struct stat st {};
  if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(st.st_mode)) return run_dir_fault::symlink;
    if (!S_ISDIR(st.st_mode)) return run_dir_fault::not_directory;
  }
  return error == ENOENT ? run_dir_fault::cannot_create : run_dir_fault::cannot_open;
}

// Walks s.path from "/" and leaves the run directory open in s.fd.
bool judge(run_dir_state& s) {
  int dir = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::size_t at = 1;  // s.path up to here names `dir`
  for (;;) {
    struct stat st {};
    if (dir < 0 || fstat(dir, &st) != 0) return fail(s, dir, run_dir_fault::cannot_open, at, errno);
    const std::size_t begin = at + std::strspn(s.path + at, "/");
    if (s.path[begin] == '\0') {  // `dir` is the run directory itself
      if (st.st_uid != geteuid()) return fail(s, dir, run_dir_fault::foreign_owner, at, 0, &st);
      if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return fail(s, dir, run_dir_fault::open_to_others, at, 0, &st);
      }
      s.fd = dir;
      s.dev = st.st_dev;
      s.ino = st.st_ino;
      std::snprintf(s.verdict.where, sizeof s.verdict.where, "%s", s.path);
      return true;
    }
    if (others_may_swap(st)) return fail(s, dir, run_dir_fault::unsafe_parent, at, 0, &st);
    const std::size_t end = begin + std::strcspn(s.path + begin, "/");
    if (end - begin > NAME_MAX) return fail(s, dir, run_dir_fault::too_long, end);
    // Below "/" by its absolute name: qemu-user's sysroot prefix (-L) stands
    // in for any absolute path that exists below it, "/" itself included.
    char name[NAME_MAX + 2];
    std::snprintf(name, sizeof name, "%s%.*s", at == 1 ? "/" : "", static_cast<int>(end - begin),
                  s.path + begin);
    const int parent = at == 1 ? AT_FDCWD : dir;
    if (s.path[end] == '\0') mkdirat(parent, name, 0700);  // only the run directory is ever made
    const int next = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      const int error = errno;
      return fail(s, dir, open_failure(parent, name, error), end, error);
    }
    close(dir);
    dir = next;
    at = end;
  }
}

run_dir_state read_state() noexcept {
  run_dir_state s{};
  s.fd = -1;
  const char* env = std::getenv("VANTOREL_RUN_DIR");
  int n;
  if (env != nullptr && env[0] != '\0') {
    n = std::snprintf(s.path, sizeof s.path, "%s", env);
  } else {
    n = std::snprintf(s.path, sizeof s.path, "/tmp/vantorel-%u", static_cast<unsigned>(geteuid()));
  }
  if (n < 0 || static_cast<size_t>(n) >= sizeof s.path) {
    fail(s, -1, run_dir_fault::too_long, sizeof s.path - 1);
  } else if (s.path[0] != '/') {  // it would depend on where the process stands
    fail(s, -1, run_dir_fault::not_absolute, std::strlen(s.path));
  } else {
    // Trailing slashes are not part of the name shown.
    for (size_t end = std::strlen(s.path); end > 1 && s.path[end - 1] == '/'; --end) {
      s.path[end - 1] = '\0';
    }
    judge(s);
  }
  return s;
}

// Read once per process; afterwards one load, where std::call_once would
// also write two thread-local words on every call.
const run_dir_state& state() noexcept {
  static const run_dir_state s = read_state();
  return s;
}

// "/proc/self/fd/<run directory>/<file>" into `out`: 0, or -errno. `file`
// is the name given as `length` characters (snprintf's answer).
int address_in_run_directory(const char* file, int length, char* out, std::size_t capacity) {
  if (out == nullptr) return -EINVAL;
  if (length < 0 || length > NAME_MAX) return -ENAMETOOLONG;
  const int fd = run_directory_fd();
  if (fd < 0) return -EPERM;
  const int n = std::snprintf(out, capacity, "/proc/self/fd/%d/%s", fd, file);
  const bool too_long =
      n < 0 || static_cast<size_t>(n) >= capacity || static_cast<size_t>(n) >= kMaxSocketPath;
  return too_long ? -ENAMETOOLONG : 0;
}

}  // namespace

const char* run_directory() noexcept {
  return state().path;
}

const run_dir_verdict& run_directory_verdict() noexcept {
  return state().verdict;
}

bool run_directory_safe() noexcept {
  return state().verdict.fault == run_dir_fault::ok;
}

int run_directory_fd() noexcept {
  const run_dir_state& s = state();
  // A process that closed every descriptor (or reused the number) must not
  // put its sockets wherever that number points now.
  struct stat st {};
  if (s.fd < 0 || fstat(s.fd, &st) != 0 || st.st_dev != s.dev || st.st_ino != s.ino) return -1;
  return s.fd;
}

int describe_run_directory(const run_dir_verdict& v, char* out, std::size_t capacity) noexcept {
  // In the order of run_dir_fault; what follows in brackets is the errno's
  // text, or the mode and owner of the directory at fault.
  static const char* const kSentences[] = {
      "is a safe run directory",
      "is not an absolute path",
      "is too long for a run directory",
      "does not exist and cannot be made",
      "cannot be opened",
      "is a symbolic link; give the real directory",
      "is not a directory",
      "belongs to another user",
      "may be written by group or others (chmod go-w)",
      "lies on the run directory's path, and another user may replace what is in it",
  };
  const auto fault = static_cast<std::size_t>(v.fault);
  char buffer[64];
  const char* detail = buffer;
  if (v.error != 0) {
    detail = strerror_r(v.error, buffer, sizeof buffer);
  } else {
    std::snprintf(buffer, sizeof buffer, "mode %04o, user %u", v.mode, v.owner);
  }
  const bool bracket = fault > static_cast<std::size_t>(run_dir_fault::too_long);
  return std::snprintf(
      out, capacity, bracket ? "%s %s (%s)" : "%s %s", v.where,
      fault < sizeof kSentences / sizeof *kSentences ? kSentences[fault] : "is unfit", detail);
}

int facade_socket_path(const char* facade_name, char* out, std::size_t capacity) noexcept {
  if (facade_name == nullptr || facade_name[0] == '\0' ||
      std::strchr(facade_name, '/') != nullptr || std::strcmp(facade_name, ".") == 0 ||
      std::strcmp(facade_name, "..") == 0) {
    return -EINVAL;
  }
  char file[NAME_MAX + 2];
  const int length = std::snprintf(file, sizeof file, "%s.sock", facade_name);
  return address_in_run_directory(file, length, out, capacity);
}

int console_socket_path(pid_t pid, char* out, std::size_t capacity) noexcept {
  char file[32];
  const int length = std::snprintf(file, sizeof file, kConsoleFile, static_cast<long>(pid));
  return address_in_run_directory(file, length, out, capacity);
}

int list_consoles(void (*visit)(pid_t pid, bool alive, void* context), void* context) noexcept {
  const int fd = run_directory_fd();
  if (fd < 0) return -EPERM;
  // The listing reads through a copy: closedir closes what it was given.
  const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  DIR* dir = copy < 0 ? nullptr : fdopendir(copy);
  if (dir == nullptr) {
    const int error = errno;
    if (copy >= 0) close(copy);
    return -error;
  }
  rewinddir(dir);  // the copy shares its position with every other copy
  int count = 0;
  while (const dirent* entry = readdir(dir)) {
    long pid = 0;
    char name[NAME_MAX + 1];  // only the name this pid's console gets, to the byte
    if (std::sscanf(entry->d_name, kConsoleFile, &pid) != 1 || pid <= 0 ||
        static_cast<pid_t>(pid) != pid ||
        std::snprintf(name, sizeof name, kConsoleFile, pid) >= static_cast<int>(sizeof name) ||
        std::strcmp(name, entry->d_name) != 0) {
      continue;
    }
    const bool alive = kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
    if (visit != nullptr) visit(static_cast<pid_t>(pid), alive, context);
    ++count;
  }
  closedir(dir);
  return count;
}

int parse_reply_timeout_ms(const char* text) noexcept {
  if (text == nullptr || *text < '0' || *text > '9') return -1;
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || parsed < kMinReplyTimeoutMs || parsed > kMaxReplyTimeoutMs) {
    return -1;
  }
  return static_cast<int>(parsed);
}

int reply_timeout_ms() noexcept {
  static std::atomic<int> cached{0};
  int value = cached.load(std::memory_order_acquire);
  if (value != 0) return value;
  value = parse_reply_timeout_ms(std::getenv("VANTOREL_REPLY_TIMEOUT_MS"));
  if (value < 0) value = kDefaultReplyTimeoutMs;
  cached.store(value, std::memory_order_release);
  return value;
}

}  // namespace host
}  // namespace vantorel
