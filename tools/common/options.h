// Command-line conventions every tool shares.
#pragma once

#include <string>
#include <vector>

namespace comm_rms_tools {

// "--opt=value" becomes "--opt" "value", so both spellings parse alike.
inline std::vector<std::string> split_option_values(const std::vector<std::string>& words) {
  std::vector<std::string> out;
  for (const std::string& word : words) {
    const size_t eq = word.find('=');
    if (word.compare(0, 2, "--") == 0 && eq != std::string::npos && eq > 2) {
      out.push_back(word.substr(0, eq));
      out.push_back(word.substr(eq + 1));
    } else {
      out.push_back(word);
    }
  }
  return out;
}

// The line `--version` prints.
inline std::string version_line(const char* tool) {
  return std::string(tool) + " (comm_rms) " COMM_RMS_VERSION "\n";
}

}  // namespace comm_rms_tools
