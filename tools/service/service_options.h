// Command line of comm-rms-service.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace comm_rms_tools {

struct service_options {
  int32_t refuse_checks = 0;  // readiness checks answered "not ready" before the first yes
  int32_t delay_ms = 0;       // wait before each reply
  int32_t exit_after = 0;     // stop after this many requests; 0: never
  std::vector<std::pair<long, int32_t>> forced_codes;            // --force-code ID=CODE
  std::vector<std::pair<std::string, int32_t>> connect_results;  // --connect-result PATH=CODE
  bool quiet = false;  // no line per request (for measurements)
  bool help = false;
  bool version = false;
};

// False with `error` set on any bad argument; nothing is half applied.
// `words` are the command line, the program's name first.
bool parse_service_options(const std::vector<std::string>& words, service_options& options,
                           std::string& error);

// The --help text: options, the model and its reply codes.
std::string service_usage();

}  // namespace comm_rms_tools
