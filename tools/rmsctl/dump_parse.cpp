// Reads the dump file back as a stream: the history record by record, then
// the operation log line by line. A record or line that does not have the
// shape the library writes is reported and skipped; a cut file keeps what
// was read before the cut. The shapes come from the writer's layout.
#include <cstring>
#include <ctime>

#include "../common/parse_number.h"
#include "dump_view.h"
#include "log/dump_layout.h"

namespace comm_rms_tools {

namespace {

namespace layout = vantorel::dump_layout;

// Moves `at` past `literal` when the text has it there.
bool take(const std::string& s, size_t& at, const char* literal) {
  const size_t n = std::strlen(literal);
  if (s.compare(at, n, literal) != 0) return false;
  at += n;
  return true;
}

// The text from `at` up to `stop` (not included); `at` moves past `stop`.
bool until(const std::string& s, size_t& at, const char* stop, std::string& out) {
  const size_t end = s.find(stop, at);
  if (end == std::string::npos) return false;
  out = s.substr(at, end - at);
  at = end + std::strlen(stop);
  return true;
}

bool is_number(const std::string& text) {
  int32_t ignored = 0;
  return text.find_first_not_of("-0123456789") == std::string::npos &&
         parse_int32(text.c_str(), &ignored);
}

bool is_digits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// "<indent><label padded>:[" of record line `which`.
std::string field_prefix(int which) {
  const layout::field& f = layout::fields[which];
  std::string prefix(static_cast<size_t>(f.indent), ' ');
  prefix.append(f.label).resize(static_cast<size_t>(layout::colon_column - 1), ' ');
  return prefix + layout::field_open;
}

// "<label>:[<32-bit number>]" of record line `which`.
bool field(const std::string& s, int which, std::string& value) {
  size_t at = 0;
  return take(s, at, field_prefix(which).c_str()) && s.back() == ']' &&
         is_number(value = s.substr(at, s.size() - at - 1));
}

// "<indent><word>[TIME][THREAD] CallNum:[N]"
bool stamp(const std::string& s, const char* word, std::string& time, std::string& thread,
           int& calls) {
  size_t at = 0;
  std::string number;
  int32_t value = 0;
  if (!take(s, at, layout::stamp_indent) || !take(s, at, word) || !take(s, at, "[") ||
      !until(s, at, layout::stamp_mid, time) || !until(s, at, layout::stamp_calls, thread) ||
      !until(s, at, "]", number) || at != s.size() || !is_digits(thread) ||
      !parse_int32(number.c_str(), &value)) {
    return false;
  }
  calls = value;
  return true;
}

// "[TIME][THREAD] [TAG][LINE] FUNCTION\tMESSAGE"; a performance line has
// "[PERFORM]: " for its tag.
bool log_line(const std::string& s, dump_entry& e) {
  size_t at = 0;
  std::string tag;
  if (!take(s, at, "[") || !until(s, at, "][", e.time) || !until(s, at, "] [", e.thread) ||
      !until(s, at, "]", tag) || !is_digits(e.thread)) {
    return false;
  }
  take(s, at, ": ");
  if (!take(s, at, "[") || !until(s, at, "] ", e.line) || !until(s, at, "\t", e.function)) {
    return false;
  }
  e.message = s.substr(at);
  e.raw = s;
  tag.erase(0, tag.find_first_not_of(" !@"));
  e.level = tag == "****" ? "other" : tag;
  return true;
}

class reader {
 public:
  explicit reader(dump_sink& sink) : sink_(sink) {}

  // False when the file turns out to hold no dump.
  bool feed(std::string& line) {
    if (++number_ == 1) crlf_ = !line.empty() && line.back() == '\r';
    if (crlf_ && !line.empty() && line.back() == '\r') line.pop_back();
    switch (where_) {
      case heading:
      case log_heading:
        return heading_line(line);
      case log: {
        dump_entry e;
        if (log_line(line, e)) {
          sink_.entry(e);
        } else {
          problem("not a trace line: ", line);
        }
        return true;
      }
      case history:
        history_line(line);
        return true;
    }
    return true;
  }

  void finish(bool ended) {
    if (k_ > 0) {
      sink_.connection(current_);
      problem("cut short in record [ID:" + current_.id + "] after " + std::to_string(k_) +
              " of 15 lines");
    } else if (where_ != log) {
      problem("cut short before the operation log");
    }
    if (!ended) problem("the last line has no end (cut short?)");
  }

  void problem(const std::string& what) {
    sink_.problem("line " + std::to_string(number_) + ": " + what);
  }
  void problem(const std::string& what, const std::string& line) {
    problem(what + "\"" + cut(printable(line), 80) + "\"");
  }
  bool started() const { return where_ != heading; }

 private:
  bool heading_line(const std::string& line) {
    const bool first = where_ == heading;
    const char* title = first ? layout::history_title : layout::log_title;
    if (line != (heading_lines_ == 1 ? title : layout::banner)) {
      if (first) return false;
      problem(std::string("expected \"") + title + "\" between banner lines, found ", line);
      where_ = log;
      sink_.begin(true);
      return true;
    }
    if (++heading_lines_ == 3) {
      where_ = first ? history : log;
      heading_lines_ = 0;
      sink_.begin(!first);
    }
    return true;
  }

  void history_line(const std::string& line) {
    const bool banner = line == layout::banner;
    if (banner || line == layout::separator) {
      if (k_ >= 0) problem("record [ID:" + current_.id + "] ends early");
      k_ = banner ? -1 : 0;
      current_ = dump_connection();
      if (banner) {
        where_ = log_heading;
        heading_lines_ = 1;
      }
      return;
    }
    if (k_ == -1) problem("outside any record: ", line);
    if (k_ < 0) return;
    if (!record_line(line)) {
      problem("record line " + std::to_string(k_ + 1) + " of 15 not understood: ", line);
      k_ = -2;
      return;
    }
    if (++k_ == layout::record_lines) {
      current_.complete = true;
      sink_.connection(current_);
      k_ = -1;
    }
  }

  // A text opens on its own line and may go on over more (it may hold
  // newlines): it ends where the length line that follows counts it whole.
  bool text_opens(const std::string& s) {
    size_t at = 0;
    if (!take(s, at, field_prefix(k_).c_str())) return false;
    text_ = s.substr(at);
    return true;
  }
  bool text_length(const std::string& s, std::string& text) {
    std::string length;
    if (field(s, k_, length) && !text_.empty() && text_.back() == ']' &&
        std::to_string(text_.size() - 1) == length) {
      text = text_.substr(0, text_.size() - 1);
      return true;
    }
    text_ += "\n" + s;
    --k_;  // still inside the text: the length line is yet to come
    return text_.size() <= kMaxLine;
  }

  bool record_line(const std::string& s) {
    dump_connection& c = current_;
    std::string ignored;
    size_t at = 0;
    switch (k_) {
      case layout::id_line:
        return take(s, at, layout::id_open) && s.back() == ']' &&
               is_number(c.id = s.substr(at, s.size() - at - 1));
      case layout::regist_stamp:
        return stamp(s, layout::regist_word, c.regist_time, c.regist_thread, c.regist_calls);
      case layout::unregist_stamp:
        return stamp(s, layout::unregist_word, c.unregist_time, c.unregist_thread,
                     c.unregist_calls);
      case layout::regist_params:
      case layout::unregist_params:
        return s == layout::parameter;
      case layout::url:
      case layout::regist_path:
      case layout::unregist_path:
        return text_opens(s);
      case layout::url_length:
        return text_length(s, c.url);
      case layout::regist_path_length:
        return text_length(s, c.path);
      case layout::unregist_path_length:
        return text_length(s, c.unregist_path);
      case layout::regist_result:
        return field(s, layout::regist_result, c.regist_result);
      case layout::between:
        return s.empty();
      case layout::is_terminated:
        return field(s, layout::is_terminated, c.is_terminated);
      default:
        return field(s, layout::unregist_result, c.unregist_result);
    }
  }

  dump_sink& sink_;
  long number_ = 0;
  bool crlf_ = false;
  enum { heading, history, log_heading, log } where_ = heading;
  int heading_lines_ = 0;
  int k_ = -1;  // record line; -1 between records, -2 skipping a damaged one
  dump_connection current_;
  std::string text_;  // the text being read, with its closing "]"
};

}  // namespace

bool read_dump(FILE* in, long limit, dump_sink& sink) {
  reader r(sink);
  std::string line;
  bool too_long = false;
  int c = 0;
  for (long read = 0; read < limit && (c = getc_unlocked(in)) != EOF; ++read) {
    if (c != '\n') {
      if (line.size() < kMaxLine) {
        line.push_back(static_cast<char>(c));
      } else {
        too_long = true;
      }
      continue;
    }
    if (!r.feed(line)) return false;
    if (too_long) r.problem("longer than " + std::to_string(kMaxLine) + " bytes, cut: ", line);
    line.clear();
    too_long = false;
  }
  if (!line.empty() && !r.feed(line)) return false;
  if (!r.started()) return false;
  r.finish(line.empty());
  return true;
}

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

}  // namespace comm_rms_tools
