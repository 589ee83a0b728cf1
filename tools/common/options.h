// Command-line conventions every tool shares: one option reader over
// getopt_long, so "--opt value" and "--opt=value" parse alike everywhere.
#pragma once

#include <string>
#include <vector>

namespace comm_rms_tools {

struct option_def {
  const char* name;  // without "--"
  char short_name;   // 0: none
  bool has_value;
};

struct given_option {
  int index;          // into the definitions
  std::string value;  // "" for an option without a value
};

// Reads the options of words[1..] (words[0] names the program or command).
// With `in_order` reading stops at the first word that is not an option and
// `rest` gets it and everything after; else options and other words mix and
// `rest` gets the other words in order. "--" ends the options. False with
// `error` set ("unknown option '--x'", "--x needs a value", ...).
bool read_options(const std::vector<std::string>& words, const std::vector<option_def>& defs,
                  bool in_order, std::vector<given_option>& options, std::vector<std::string>& rest,
                  std::string& error);

// The line `--version` prints.
inline std::string version_line(const char* tool) {
  return std::string(tool) + " (comm_rms) " COMM_RMS_VERSION "\n";
}

}  // namespace comm_rms_tools
