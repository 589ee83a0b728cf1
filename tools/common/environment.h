// What the tools check about their environment before they use it, so that
// a bad setting is named instead of showing up as a refusal or a long wait.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "vantorel/host/host.h"

namespace comm_rms_tools {

// Why the run directory `dir` cannot hold our sockets; "" when it can (or
// when it is missing but may still be created, as the platform does).
inline std::string run_directory_problem(const char* dir) {
  const std::string d = dir;
  if (d.empty() || d[0] != '/') return d + " is not an absolute path";
  struct stat st {};
  if (lstat(dir, &st) != 0) {
    if (errno == ENOENT) return d + " does not exist (and could not be created)";
    return d + " cannot be examined";
  }
  if (S_ISLNK(st.st_mode)) return d + " is a symbolic link";
  if (!S_ISDIR(st.st_mode)) return d + " is not a directory";
  if (st.st_uid != geteuid()) {
    return d + " is owned by user " + std::to_string(st.st_uid) + ", not by user " +
           std::to_string(geteuid());
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return d + " has mode " + mode + "; it needs 0700 (chmod 0700 " + d + ")";
  }
  return "";
}

// A warning when $VANTOREL_REPLY_TIMEOUT_MS is set but not used; "" else.
inline std::string reply_timeout_problem() {
  const char* env = std::getenv("VANTOREL_REPLY_TIMEOUT_MS");
  if (env == nullptr) return "";
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(env, &end, 10);
  if (end != env && *end == '\0' && errno == 0 && value >= 1 && value <= 600000) return "";
  return std::string("VANTOREL_REPLY_TIMEOUT_MS='") + env + "' is not 1 to 600000 ms; using " +
         std::to_string(vantorel::host::kDefaultReplyTimeoutMs) + " ms";
}

}  // namespace comm_rms_tools
