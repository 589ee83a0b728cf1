// What the tools say about their environment before they use it, so that a
// bad setting is named instead of showing up as a refusal or a long wait.
// The platform judges; this only words its verdicts.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>

#include "vantorel/host/host.h"

namespace comm_rms_tools {

// "" when the run directory can hold our sockets, else one sentence why.
inline std::string run_directory_problem() {
  const vantorel::host::run_dir_verdict& verdict = vantorel::host::run_directory_verdict();
  if (verdict.fault == vantorel::host::run_dir_fault::ok) return "";
  char text[512];
  vantorel::host::describe_run_directory(verdict, text, sizeof text);
  return std::string("unusable run directory: ") + text;
}

// A facade's socket as a person finds it: by name in the run directory (the
// process itself reaches it through the directory's descriptor).
inline std::string shown_socket_path(const char* facade) {
  char address[512] = "/";
  vantorel::host::facade_socket_path(facade, address, sizeof address);
  return vantorel::host::run_directory() + std::string(std::strrchr(address, '/'));
}

// A warning when $VANTOREL_REPLY_TIMEOUT_MS is set but not used; "" else.
inline std::string reply_timeout_problem() {
  const char* env = std::getenv("VANTOREL_REPLY_TIMEOUT_MS");
  if (env == nullptr || vantorel::host::parse_reply_timeout_ms(env) >= 0) return "";
  return std::string("VANTOREL_REPLY_TIMEOUT_MS='") + env + "' is not " +
         std::to_string(vantorel::host::kMinReplyTimeoutMs) + " to " +
         std::to_string(vantorel::host::kMaxReplyTimeoutMs) + " ms; using " +
         std::to_string(vantorel::host::kDefaultReplyTimeoutMs) + " ms";
}

}  // namespace comm_rms_tools
