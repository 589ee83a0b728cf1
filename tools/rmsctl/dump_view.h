// `rmsctl show`: reads a dump file the library wrote (whole, cut short or
// damaged) as a stream, and renders its connections and its filtered
// operation log as text or as one self-contained HTML page. Memory stays
// bounded whatever the file holds: lines are read up to kMaxLine bytes.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace comm_rms_tools {

constexpr size_t kMaxLine = 16384;  // a trace line is at most about 3,500

struct dump_connection {
  std::string id, url, path, regist_time, regist_thread, regist_result;
  int regist_calls = 0;
  std::string unregist_time, unregist_thread, unregist_path, unregist_result, is_terminated;
  int unregist_calls = 0;  // 0: never unregistered
  bool complete = false;   // all of the record's lines were read
};

struct dump_entry {
  std::string time, thread, level, line, function, message;  // level: "ERR", "other", ...
  std::string raw;                                           // the whole line
};

// What the reader hands on, in file order.
class dump_sink {
 public:
  virtual ~dump_sink() = default;
  virtual void begin(bool /*log*/) {}  // the history (false) or the log section starts
  virtual void connection(const dump_connection& c) = 0;
  virtual void entry(const dump_entry& /*e*/) {}
};

// Reads at most `limit` bytes of `in`, naming what it cannot read on `err`
// as "rmsctl: show: NAME: line N: what". False, before anything reached
// the sink, when the file does not start with the history's heading.
bool read_dump(FILE* in, long limit, dump_sink& sink, FILE* err, const std::string& name);

// Bytes as a terminal or a page may show them: valid UTF-8 stays, control
// characters, C1 controls, backslash and invalid bytes become \xHH (a tab
// too unless `keep_tab`).
std::string printable(const std::string& text, bool keep_tab = false);

// `text` in at most `width` bytes: a longer one is cut at a character and
// ends in "...".
std::string cut(const std::string& text, size_t width);

struct log_filter {
  std::string level;     // comma-separated level names, any case; "" for all
  std::string thread;    // a thread number
  std::string function;  // part of the function name
  std::string since;     // "YYYY-MM-DD HH:MM:SS" (any start of it), or "HH:MM[:SS]"
};
// "" when every value is one the filter knows, else what is wrong and what
// it accepts.
std::string filter_error(const log_filter& filter);
bool filter_matches(const log_filter& filter, const dump_entry& entry);

// The connection table's cells, in kColumns order.
constexpr const char* kColumns[] = {"ID",      "path", "URL", "registered at", "unregistered at",
                                    "results", "calls"};
std::vector<std::string> connection_cells(const dump_connection& c);

// Print `in` (its first `limit` bytes; `name` and `err` for the problems)
// to `out` as they read it: a table whose cells are cut to their column unless
// `wide`, or a page (read twice: first for its time span). False when `in`
// holds no dump.
bool show_text(FILE* in, long limit, FILE* out, FILE* err, const log_filter& filter, bool wide,
               const std::string& name);
bool show_html(FILE* in, long limit, FILE* out, FILE* err, const log_filter& filter,
               const std::string& name);

// `rmsctl show ARGS...`: the exit status.
int run_show(const std::vector<std::string>& args);

}  // namespace comm_rms_tools
