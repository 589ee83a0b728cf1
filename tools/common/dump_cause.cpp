#include "dump_cause.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "comm_rms/debug_dump.h"
#include "error_text.h"

namespace comm_rms_tools {

namespace {

std::string mode_text(const struct stat& st) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return text;
}

}  // namespace

uid_t process_user(pid_t pid) {
  struct stat st {};  // /proc/PID belongs to the process's effective user
  return stat(("/proc/" + std::to_string(pid)).c_str(), &st) == 0 ? st.st_uid : geteuid();
}

// The dump writes only into a real directory (not a symlink to one), and
// only over its own plain file with one link; what is found in the way is
// named with its cure.
std::string dump_failure_cause(uid_t user) {
  namespace dd = vantorel::debug_dump;
  std::string dir = dd::directory;
  dir.pop_back();  // no trailing slash: lstat must see a symlinked directory
  const std::string cure = "install -d -m 0700 " + dir;
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0) {
    return errno == ENOENT ? dir + " does not exist: create it with " + cure
                           : "cannot examine " + dir + ": " + error_text(errno);
  }
  if (S_ISLNK(st.st_mode)) return dir + " is a symbolic link: remove it, then " + cure;
  if (!S_ISDIR(st.st_mode)) return dir + " is not a directory: remove it, then " + cure;
  const std::string file = dd::path;
  const std::string dir_mode = mode_text(st);
  if (lstat(file.c_str(), &st) != 0) {
    return errno == ENOENT ? "user " + std::to_string(user) + " cannot create files in " + dir +
                                 " (mode " + dir_mode + ")"
                           : "cannot examine " + file + ": " + error_text(errno);
  }
  const char* kind = S_ISLNK(st.st_mode)    ? "a symbolic link"
                     : S_ISDIR(st.st_mode)  ? "a directory"
                     : S_ISFIFO(st.st_mode) ? "a FIFO"
                     : !S_ISREG(st.st_mode) ? "not a regular file"
                     : st.st_uid != user    ? "another user's file"
                     : st.st_nlink != 1     ? "a file with more than one hard link"
                                            : nullptr;
  if (kind != nullptr) return file + " is " + kind + ": remove it";
  return file + " could not be written (" + mode_text(st) + ")";
}

}  // namespace comm_rms_tools
