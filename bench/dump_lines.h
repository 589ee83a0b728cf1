// The trace-line section of a dump file, taken apart so that the floor
// writes exactly the bytes that the dump wrote for it.
#pragma once

#include <string>
#include <vector>

namespace comm_rms_bench {

// The lines, each with its newline, that follow the "Operation log" heading
// (banner, title, banner) of a dump file's text; none when there is no
// heading.
inline std::vector<std::string> operation_log_lines(const std::string& dump) {
  const std::string banner(80, '=');
  const std::string heading = banner + "\nOperation log\n" + banner + "\n";
  std::vector<std::string> lines;
  std::size_t at = dump.find(heading);
  if (at == std::string::npos) return lines;
  at += heading.size();
  while (at < dump.size()) {
    std::size_t end = dump.find('\n', at);
    end = (end == std::string::npos) ? dump.size() : end + 1;
    lines.push_back(dump.substr(at, end - at));
    at = end;
  }
  return lines;
}

}  // namespace comm_rms_bench
