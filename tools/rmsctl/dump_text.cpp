// `rmsctl show` as text, and what the text and the page share: the filter,
// the cells of a connection, and bytes made safe to show.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "../common/parse_number.h"
#include "../common/result_names.h"
#include "dump_view.h"

namespace comm_rms_tools {

namespace {

// The level names a filter takes, in lower case: "****" reads as "other".
constexpr char kLevels[] = ",err,wrn,imp,inf,perform,other,";
constexpr size_t kWidths[std::size(kColumns)] = {11, 24, 24, 26, 26, 26, 12};

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool is_time_of_day(const std::string& since) {
  return since.size() >= 3 && since[2] == ':';
}

// The length of the UTF-8 sequence at `i` if it is shown as it is: 0 for an
// invalid or overlong one and a C1 control.
size_t shown_sequence(const std::string& s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  const size_t n = c < 0xc2 ? 0 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : c < 0xf5 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  uint32_t point = c & (0x7fu >> n);
  for (size_t k = 1; k < n; ++k) {
    const unsigned char b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xc0) != 0x80) return 0;
    point = point << 6 | (b & 0x3fu);
  }
  constexpr uint32_t kLeast[] = {0, 0, 0xa0, 0x800, 0x10000};
  return point < kLeast[n] || point > 0x10ffff || (point >= 0xd800 && point < 0xe000) ? 0 : n;
}

std::string result_text(const std::string& code) {
  int32_t value = 0;
  const char* name = parse_int32(code.c_str(), &value) ? result_code_name(value) : nullptr;
  return name == nullptr ? code : code + " " + name;
}

class text_view final : public dump_sink {
 public:
  text_view(FILE* out, const log_filter& filter, bool wide)
      : out_(out), filter_(filter), wide_(wide) {}
  void finish() { std::fprintf(out_, "%zu of %zu lines shown\n", shown_, total_); }

  void begin(bool log) override {
    std::fputs(log ? "\nOperation log\n" : "Connections\n", out_);
    if (!log) row({std::begin(kColumns), std::end(kColumns)});
  }
  void connection(const dump_connection& c) override { row(connection_cells(c)); }
  void entry(const dump_entry& e) override {
    ++total_;
    if (!filter_matches(filter_, e)) return;
    ++shown_;
    std::fprintf(out_, "%s\n", printable(e.raw, true).c_str());
  }

 private:
  void row(const std::vector<std::string>& cells) {
    std::string line;
    for (size_t i = 0; i < cells.size(); ++i) {
      const std::string cell = wide_ ? printable(cells[i]) : cut(printable(cells[i]), kWidths[i]);
      line += cell;
      if (i + 1 < cells.size())
        line.append(std::max(kWidths[i], cell.size()) + 2 - cell.size(), ' ');
    }
    std::fprintf(out_, "%s\n", line.c_str());
  }

  FILE* out_;
  const log_filter filter_;
  const bool wide_;
  size_t shown_ = 0;
  size_t total_ = 0;
};

}  // namespace

std::string printable(const std::string& text, bool keep_tab) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t n = c >= 0x80 ? shown_sequence(text, i) : 0;
    if ((c >= 0x20 && c < 0x7f && c != '\\') || (c == '\t' && keep_tab) || n > 0) {
      out.append(text, i, n > 0 ? n : 1);
      i += n > 0 ? n : 1;
      continue;
    }
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\x%02x", c);
    out += escape;
    ++i;
  }
  return out;
}

std::string cut(const std::string& text, size_t width) {
  if (text.size() <= width) return text;
  size_t end = width - 3;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) --end;
  return text.substr(0, end) + "...";
}

std::string filter_error(const log_filter& filter) {
  const std::string levels = lower(filter.level);
  for (size_t at = 0, end = 0; !levels.empty() && at <= levels.size(); at = end + 1) {
    end = std::min(levels.find(',', at), levels.size());
    if (end == at ||
        std::strstr(kLevels, ("," + levels.substr(at, end - at) + ",").c_str()) == nullptr) {
      return "--level '" + filter.level + "': each level (comma-separated, any case) is one of " +
             std::string(kLevels + 1, sizeof kLevels - 3);
    }
  }
  if (filter.thread.find_first_not_of("0123456789") != std::string::npos) {
    return "--thread '" + filter.thread + "' is not a thread number (decimal digits)";
  }
  const std::string& s = filter.since;
  const std::string shape = is_time_of_day(s) ? "00:00:00" : "0000-00-00 00:00:00.000000";
  for (size_t i = 0; i < s.size(); ++i) {
    if (i >= shape.size() ||
        (shape[i] == '0' ? !std::isdigit(static_cast<unsigned char>(s[i])) : s[i] != shape[i])) {
      return "--since '" + s + "' is not YYYY-MM-DD HH:MM:SS (or a start of it) nor HH:MM[:SS]";
    }
  }
  return "";
}

bool filter_matches(const log_filter& filter, const dump_entry& e) {
  if (!filter.level.empty() &&
      ("," + lower(filter.level) + ",").find("," + lower(e.level) + ",") == std::string::npos) {
    return false;
  }
  if (!filter.thread.empty() && std::strtoull(filter.thread.c_str(), nullptr, 10) !=
                                    std::strtoull(e.thread.c_str(), nullptr, 10)) {
    return false;
  }
  if (e.function.find(filter.function) == std::string::npos) return false;
  // The time stamps compare as text; a time of day against the time part.
  const size_t blank = e.time.find(' ');
  const std::string when = !is_time_of_day(filter.since) ? e.time
                           : blank == std::string::npos  ? ""
                                                         : e.time.substr(blank + 1);
  return when.compare(0, filter.since.size(), filter.since) >= 0;
}

std::vector<std::string> connection_cells(const dump_connection& c) {
  const bool gone = c.unregist_calls > 0;
  std::string unregistered = "still registered";
  // An unregister lands on the newest record whatever path it named.
  if (gone)
    unregistered = c.unregist_time + (c.unregist_path == c.path ? "" : " as " + c.unregist_path);
  return {c.id,
          c.path,
          c.url,
          c.regist_time,
          unregistered,
          result_text(c.regist_result) + (gone ? " / " + result_text(c.unregist_result) : ""),
          std::to_string(c.regist_calls) + " / " + std::to_string(c.unregist_calls) +
              (c.complete ? "" : " (cut)")};
}

bool show_text(FILE* in, long limit, FILE* out, FILE* err, const log_filter& filter, bool wide,
               const std::string& name) {
  text_view view(out, filter, wide);
  if (!read_dump(in, limit, view, err, name)) return false;
  view.finish();
  return true;
}

}  // namespace comm_rms_tools
