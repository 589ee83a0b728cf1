// Reads the dump file back: the connection section record by record, then
// the operation log line by line. A record or line that does not have the
// shape the library writes is reported and skipped; a cut file keeps what
// was read before the cut.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include "dump_view.h"

namespace comm_rms_tools {

namespace {

constexpr int kRecordLines = 15;

// The banner (=) and separator (-) lines: 80 of the character.
bool rule(const std::string& line, char c) {
  return line.size() == 80 && line.find_first_not_of(c) == std::string::npos;
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// A label padded so that its colon stands in column 36.
std::string field_prefix(const char* label, size_t indent) {
  std::string prefix(indent, ' ');
  prefix += label;
  prefix.resize(35, ' ');
  return prefix + ":[";
}

// The text between `prefix` and a closing "]" that ends the line.
bool bracketed(const std::string& line, const std::string& prefix, std::string& value) {
  if (!starts_with(line, prefix) || line.size() < prefix.size() + 1 || line.back() != ']') {
    return false;
  }
  value = line.substr(prefix.size(), line.size() - prefix.size() - 1);
  return true;
}

// "<keyword>[TIME][THREAD] CallNum:[N]"
bool stamp(const std::string& line, const std::string& keyword, std::string& time,
           std::string& thread, int& calls) {
  std::string rest;
  if (!bracketed(line, keyword + "[", rest)) return false;
  const size_t mid = rest.find("][");
  const size_t tail = rest.find("] CallNum:[");
  if (mid == std::string::npos || tail == std::string::npos || tail < mid) return false;
  time = rest.substr(0, mid);
  thread = rest.substr(mid + 2, tail - mid - 2);
  char* end = nullptr;
  const std::string number = rest.substr(tail + 11);
  calls = static_cast<int>(std::strtol(number.c_str(), &end, 10));
  return !number.empty() && *end == '\0';
}

// Line k (0-based) of a record into `c`; false when it has another shape.
bool record_line(int k, const std::string& line, dump_connection& c) {
  std::string ignored;
  switch (k) {
    case 0:
      return bracketed(line, "[ID:", c.id);
    case 1:
      return stamp(line, "    Regist", c.regist_time, c.regist_thread, c.regist_calls);
    case 2:
    case 10:
      return line == "        Parameter";
    case 3:
      return bracketed(line, field_prefix("url", 12), c.url);
    case 4:
      return bracketed(line, field_prefix("url_length", 12), ignored);
    case 5:
      return bracketed(line, field_prefix("server_pathname", 12), c.path);
    case 6:
    case 12:
      return bracketed(line, field_prefix("server_pathname_length", 12), ignored);
    case 7:
      return bracketed(line, field_prefix("Result", 8), c.regist_result);
    case 8:
      return line.empty();
    case 9:
      return stamp(line, "    Unregist", c.unregist_time, c.unregist_thread, c.unregist_calls);
    case 11:
      return bracketed(line, field_prefix("server_pathname", 12), c.unregist_path);
    case 13:
      return bracketed(line, field_prefix("is_terminated", 12), c.is_terminated);
    default:
      return bracketed(line, field_prefix("Result", 8), c.unregist_result);
  }
}

// "[TIME][THREAD] [TAG][LINE] FUNCTION\tMESSAGE"
bool log_line(const std::string& line, dump_entry& e) {
  const size_t time_end = line.find("][");
  const size_t thread_end = line.find("] [", time_end == std::string::npos ? 0 : time_end);
  if (line.empty() || line[0] != '[' || time_end == std::string::npos ||
      thread_end == std::string::npos || line.size() < thread_end + 10 ||
      line[thread_end + 7] != ']' || line[thread_end + 8] != '[') {
    return false;
  }
  const size_t number_end = line.find("] ", thread_end + 9);
  const size_t tab = line.find('\t', number_end == std::string::npos ? 0 : number_end);
  if (number_end == std::string::npos || tab == std::string::npos) return false;
  e.time = line.substr(1, time_end - 1);
  e.thread = line.substr(time_end + 2, thread_end - time_end - 2);
  e.level = line.substr(thread_end + 3, 4);
  while (!e.level.empty() && (e.level[0] == ' ' || e.level[0] == '!' || e.level[0] == '@')) {
    e.level.erase(0, 1);
  }
  e.line = line.substr(thread_end + 9, number_end - thread_end - 9);
  e.function = line.substr(number_end + 2, tab - number_end - 2);
  e.message = line.substr(tab + 1);
  e.raw = line;
  return true;
}

}  // namespace

bool dump_time_seconds(const std::string& text, double& seconds) {
  struct tm t = {};
  const char* rest = strptime(text.c_str(), "%Y-%m-%d %H:%M:%S.", &t);
  if (rest == nullptr || *rest < '0' || *rest > '9') return false;
  char* end = nullptr;
  const long micro = std::strtol(rest, &end, 10);
  if (*end != '\0') return false;
  seconds = static_cast<double>(timegm(&t)) + static_cast<double>(micro) / 1e6;
  return true;
}

std::string connection_duration(const dump_connection& c) {
  double from = 0;
  double to = 0;
  if (c.unregist_calls == 0 || !dump_time_seconds(c.regist_time, from) ||
      !dump_time_seconds(c.unregist_time, to)) {
    return "";
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.6f s", to - from);
  return text;
}

dump_contents parse_dump(const std::string& text) {
  dump_contents dump;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  auto problem = [&dump, &number](const std::string& what) {
    dump.problems.push_back("line " + std::to_string(number) + ": " + what);
  };
  // Where the reader is: the section heading, inside the section (record
  // line k, -1 between records, -2 skipping a bad one), the log.
  enum { heading, section, log_heading, log } where = heading;
  int k = -1;
  int heading_lines = 0;
  dump_connection current;
  while (std::getline(in, line)) {
    ++number;
    if (where == heading || where == log_heading) {
      const std::string expected = heading_lines != 1 ? std::string(80, '=')
                                   : where == heading ? "Remote Panel Connect Information"
                                                      : "Operation log";
      if (line != expected) {
        problem(std::string("expected \"").append(expected).append("\", found \"").append(line) +
                "\"");
        return dump;
      }
      if (++heading_lines == 3) {
        where = where == heading ? section : log;
        heading_lines = 0;
      }
      continue;
    }
    if (where == log) {
      dump_entry entry;
      if (log_line(line, entry)) {
        dump.entries.push_back(entry);
      } else {
        problem("not a trace line: \"" + line + "\"");
      }
      continue;
    }
    if (rule(line, '-') || rule(line, '=')) {
      if (k >= 0) problem("record [ID:" + current.id + "] ends early");
      k = -1;
      if (rule(line, '=')) {
        where = log_heading;
        heading_lines = 1;
        continue;
      }
      current = dump_connection();
      k = 0;
      continue;
    }
    if (k == -1) problem("outside any record: \"" + line + "\"");
    if (k < 0) continue;
    if (!record_line(k, line, current)) {
      if (in.eof()) break;  // a line cut short: the record is kept as far as it was read
      problem("record line " + std::to_string(k + 1) + " of 15 not understood: \"" + line + "\"");
      k = -2;
      continue;
    }
    if (++k == kRecordLines) {
      current.complete = true;
      dump.connections.push_back(current);
      k = -1;
    }
  }
  if (k >= 0) {
    if (k > 0) dump.connections.push_back(current);
    problem("cut short in record [ID:" + current.id + "] after " + std::to_string(k) +
            " of 15 lines");
  } else if (where != log) {
    problem("cut short before the operation log");
  }
  if (!text.empty() && text.back() != '\n') problem("the last line has no end (cut short?)");
  return dump;
}

}  // namespace comm_rms_tools
