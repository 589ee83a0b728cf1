// Reads the dump file back as a stream: the history record by record, then
// the operation log line by line. A record or line that does not have the
// shape the library writes is reported and skipped; a cut file keeps what
// was read before the cut. The shapes come from the writer's layout.
#include <cstring>

#include "../common/parse_number.h"
#include "dump_view.h"
#include "log/dump_layout.h"

namespace comm_rms_tools {

namespace {

namespace layout = vantorel::dump_layout;

// True when `s` is `literals` with the `values` between them: each value
// runs to the next literal, the last one to the literal ending the line.
bool match(const std::string& s, const std::vector<std::string>& literals,
           const std::vector<std::string*>& values) {
  size_t at = 0;
  for (size_t i = 0; i < literals.size(); ++i) {
    const std::string& l = literals[i];
    if (i > 0) {
      const size_t end = i + 1 < literals.size()     ? s.find(l, at)
                         : s.size() >= at + l.size() ? s.size() - l.size()
                                                     : std::string::npos;
      if (end == std::string::npos) return false;
      *values[i - 1] = s.substr(at, end - at);
      at = end;
    }
    if (s.compare(at, l.size(), l) != 0) return false;
    at += l.size();
  }
  return at == s.size();
}

bool is_number(const std::string& text, int* value = nullptr) {
  int32_t number = 0;
  const bool decimal = text.find_first_not_of("-0123456789") == std::string::npos &&
                       parse_int32(text.c_str(), &number);
  if (decimal && value != nullptr) *value = number;
  return decimal;
}

bool is_digits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// "<indent><word>[TIME][THREAD] CallNum:[N]"
bool stamp(const std::string& s, const char* word, std::string& time, std::string& thread,
           int& calls) {
  std::string number;
  return match(s,
               {layout::stamp_indent + (word + std::string("[")), layout::stamp_mid,
                layout::stamp_calls, "]"},
               {&time, &thread, &number}) &&
         is_digits(thread) && is_number(number, &calls);
}

// "[TIME][THREAD] [TAG][LINE] FUNCTION\tMESSAGE"; a performance line has
// "[PERFORM]: " for its tag.
bool log_line(const std::string& s, dump_entry& e) {
  std::string tag;
  if (!match(s, {"[", "][", "] [", "] ", "\t", ""},
             {&e.time, &e.thread, &tag, &e.function, &e.message}) ||
      !is_digits(e.thread) || tag.find(']') == std::string::npos) {
    return false;
  }
  e.line = tag.substr(tag.rfind('[') + 1);
  tag.erase(tag.find(']'));
  tag.erase(0, tag.find_first_not_of(" !@"));
  e.level = tag == "****" ? "other" : tag;
  e.raw = s;
  return true;
}

class reader {
 public:
  reader(dump_sink& sink, FILE* err, const std::string& name)
      : sink_(sink), err_(err), name_(printable(name)) {}

  // False when the file turns out to hold no dump.
  bool feed(std::string& line) {
    if (++number_ == 1) crlf_ = !line.empty() && line.back() == '\r';
    if (crlf_ && !line.empty() && line.back() == '\r') line.pop_back();
    if (where_ == heading || where_ == log_heading) return heading_line(line);
    dump_entry e;
    if (where_ == history) {
      history_line(line);
    } else if (log_line(line, e)) {
      sink_.entry(e);
    } else {
      problem("not a trace line: ", line);
    }
    return true;
  }

  // False when the file held no dump.
  bool finish(bool ended) {
    if (where_ == heading) return false;
    if (k_ > 0) {
      sink_.connection(current_);
      problem("cut short in record [ID:" + current_.id + "] after " + std::to_string(k_) + " of " +
              std::to_string(layout::record_lines) + " lines");
    } else if (where_ != log) {
      problem("cut short before the operation log");
    }
    if (!ended) problem("the last line has no end (cut short?)");
    return true;
  }

  // `line` (never a newline: lines are split at them) is quoted after `what`.
  void problem(const std::string& what, const std::string& line = "\n") {
    std::fprintf(err_, "rmsctl: show: %s: line %ld: %s%s\n", name_.c_str(), number_, what.c_str(),
                 line == "\n" ? "" : ("\"" + cut(printable(line), 80) + "\"").c_str());
  }

 private:
  bool heading_line(const std::string& line) {
    const bool first = where_ == heading;
    const char* title = first ? layout::history_title : layout::log_title;
    if (line != (heading_lines_ == 1 ? title : layout::banner)) {
      if (first) return false;
      problem(std::string("expected \"") + title + "\" between banner lines, found ", line);
      heading_lines_ = 2;
    }
    if (++heading_lines_ >= 3) {
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
      problem("record line " + std::to_string(k_ + 1) + " of " +
                  std::to_string(layout::record_lines) + " not understood: ",
              line);
      k_ = -2;
    } else if (++k_ == layout::record_lines) {
      current_.complete = true;
      sink_.connection(current_);
      k_ = -1;
    }
  }

  bool record_line(const std::string& s) {
    dump_connection& c = current_;
    std::string* text = k_ == layout::url_length             ? &c.url
                        : k_ == layout::regist_path_length   ? &c.path
                        : k_ == layout::unregist_path_length ? &c.unregist_path
                                                             : nullptr;
    std::string* number = k_ == layout::regist_result   ? &c.regist_result
                          : k_ == layout::is_terminated ? &c.is_terminated
                                                        : &c.unregist_result;
    switch (k_) {
      case layout::id_line:
        return match(s, {layout::id_open, "]"}, {&c.id}) && is_number(c.id);
      case layout::regist_stamp:
        return stamp(s, layout::regist_word, c.regist_time, c.regist_thread, c.regist_calls);
      case layout::unregist_stamp:
        return stamp(s, layout::unregist_word, c.unregist_time, c.unregist_thread,
                     c.unregist_calls);
      case layout::regist_params:
      case layout::unregist_params:
        return s == layout::parameter;
      case layout::between:
        return s.empty();
      case layout::url:
      case layout::regist_path:
      case layout::unregist_path:
        return match(s, {layout::field_prefix(k_), ""}, {&text_});
      default:
        return text != nullptr
                   ? text_end(s, *text)
                   : match(s, {layout::field_prefix(k_), "]"}, {number}) && is_number(*number);
    }
  }

  // A text may hold newlines, so it goes on over lines until the length
  // line that follows it counts it whole.
  bool text_end(const std::string& s, std::string& text) {
    std::string length;
    if (match(s, {layout::field_prefix(k_), "]"}, {&length}) && !text_.empty() &&
        text_.back() == ']' && std::to_string(text_.size() - 1) == length) {
      text = text_.substr(0, text_.size() - 1);
      return true;
    }
    text_ += "\n" + s;
    --k_;  // still inside the text
    return text_.size() <= kMaxLine;
  }

  dump_sink& sink_;
  FILE* err_;
  const std::string name_;
  long number_ = 0;
  bool crlf_ = false;
  enum { heading, history, log_heading, log } where_ = heading;
  int heading_lines_ = 0;
  int k_ = -1;  // record line; -1 between records, -2 skipping a damaged one
  dump_connection current_;
  std::string text_;  // the text being read, with its closing "]"
};

}  // namespace

bool read_dump(FILE* in, long limit, dump_sink& sink, FILE* err, const std::string& name) {
  reader r(sink, err, name);
  std::string line;
  bool too_long = false;
  int c = 0;
  for (long read = 0; read < limit && (c = getc_unlocked(in)) != EOF; ++read) {
    if (c != '\n') {
      too_long = too_long || line.size() == kMaxLine;
      if (!too_long) line.push_back(static_cast<char>(c));
      continue;
    }
    if (!r.feed(line)) return false;
    if (too_long) r.problem("longer than " + std::to_string(kMaxLine) + " bytes, cut: ", line);
    line.clear();
    too_long = false;
  }
  return (line.empty() || r.feed(line)) && r.finish(line.empty());
}

}  // namespace comm_rms_tools
