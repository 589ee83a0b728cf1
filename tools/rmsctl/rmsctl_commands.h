// rmsctl's command language, shared by the command line and the shell:
//   register --url U --path P
//   unregister --path P [--terminated N]
//   path
//   connect-result --path P
//   rfb-status [--word N]
//   dump
// Parsing fills the request records completely, so a request that would not
// fit its record is refused here and never sent cut short.
#pragma once

#include <string>
#include <vector>

#include "comm_rms/records.h"

namespace comm_rms_tools {

enum class command_kind {
  register_server,
  unregister_server,
  path,
  connect_result,
  rfb_status,
  dump
};

struct command {
  command_kind kind;
  COMM_RMS_REGISTER_SERVER_INFO register_info;      // register
  COMM_RMS_UNREGISTER_SERVER_INFO unregister_info;  // unregister
  COMM_RMS_CONNECT_RESULT_INFO connect_info;        // connect-result
  COMM_RMS_RFB_GET_STATUS_INFO rfb_info;            // rfb-status
};

// Parses one or more commands from `words`. On failure returns false, sets
// `error` to a one-line message and leaves `out` empty.
bool parse_commands(const std::vector<std::string>& words, std::vector<command>& out,
                    std::string& error);

// Splits a shell line at blanks and tabs.
std::vector<std::string> split_words(const std::string& line);

// The command word of `kind` ("register", "path", ...).
const char* command_name(command_kind kind);

const char* rmsctl_usage();

}  // namespace comm_rms_tools
