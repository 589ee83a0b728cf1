// `rmsctl show` as text: the connections as one aligned table, then the
// operation log lines that pass the filter.
#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "../common/result_names.h"
#include "dump_view.h"

namespace comm_rms_tools {

namespace {

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool is_time_of_day(const std::string& since) {
  return since.size() >= 5 && since[2] == ':';
}

}  // namespace

std::string result_text(const std::string& code) {
  char* end = nullptr;
  const long value = std::strtol(code.c_str(), &end, 10);
  const char* name =
      code.empty() || *end != '\0' ? nullptr : result_code_name(static_cast<int32_t>(value));
  return name == nullptr ? code : code + " " + name;
}

std::string unregistered_text(const dump_connection& c) {
  if (c.unregist_calls == 0) return "still registered";
  return c.unregist_path == c.path ? c.unregist_time
                                   : c.unregist_time + " (as " + c.unregist_path + ")";
}

std::string filter_error(const log_filter& filter) {
  const std::string& s = filter.since;
  const std::string shape = is_time_of_day(s) ? "00:00:00" : "0000-00-00 00:00:00.000000";
  if (s.size() > shape.size()) return "--since '" + s + "' is not a time";
  for (size_t i = 0; i < s.size(); ++i) {
    if (shape[i] == '0' ? !std::isdigit(static_cast<unsigned char>(s[i])) : s[i] != shape[i]) {
      return "--since '" + s + "' is not YYYY-MM-DD HH:MM:SS (or a start of it) nor HH:MM[:SS]";
    }
  }
  return "";
}

bool filter_matches(const log_filter& filter, const dump_entry& e) {
  if (!filter.level.empty()) {
    const std::string wanted = "," + lower(filter.level) + ",";
    const std::string level = e.level == "****" ? "other" : lower(e.level);
    if (wanted.find("," + level + ",") == std::string::npos) return false;
  }
  if (!filter.thread.empty() && e.thread != filter.thread) return false;
  if (!filter.function.empty() && e.function.find(filter.function) == std::string::npos) {
    return false;
  }
  if (!filter.since.empty()) {
    // The time stamps compare as text; a time of day against the time part.
    const std::string when = is_time_of_day(filter.since) ? e.time.substr(11) : e.time;
    if (when.compare(0, filter.since.size(), filter.since) < 0) return false;
  }
  return true;
}

std::string render_dump_text(const dump_contents& dump, const log_filter& filter) {
  std::vector<std::vector<std::string>> rows = {
      {"ID", "path", "URL", "registered at", "unregistered at", "duration", "results", "calls"}};
  for (const dump_connection& c : dump.connections) {
    const bool gone = c.unregist_calls > 0;
    rows.push_back(
        {c.id, c.path, c.url, c.regist_time, unregistered_text(c),
         gone ? connection_duration(c) : "-",
         result_text(c.regist_result) + (gone ? " / " + result_text(c.unregist_result) : ""),
         std::to_string(c.regist_calls) + " / " + std::to_string(c.unregist_calls) +
             (c.complete ? "" : " (cut)")});
  }
  std::vector<size_t> width(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
  }
  std::string out = "Connections: " + std::to_string(dump.connections.size()) + "\n";
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i] + (i + 1 < row.size() ? std::string(width[i] - row[i].size() + 2, ' ') : "");
    }
    out += line + "\n";
  }
  std::string log;
  size_t shown = 0;
  for (const dump_entry& e : dump.entries) {
    if (!filter_matches(filter, e)) continue;
    ++shown;
    log += e.raw + "\n";
  }
  out += "\nOperation log: " + std::to_string(shown) + " of " +
         std::to_string(dump.entries.size()) + " lines\n" + log;
  return out;
}

}  // namespace comm_rms_tools
