// `rmsctl show`: reads a dump file the library wrote (whole or cut short)
// and renders it as a table of connections and a filterable operation log,
// as text or as one self-contained HTML page.
#pragma once

#include <string>
#include <vector>

namespace comm_rms_tools {

struct dump_connection {
  std::string id;
  std::string url, path;
  std::string regist_time, regist_thread, regist_result;  // time: "YYYY-MM-DD HH:MM:SS.ffffff"
  int regist_calls = 0;
  std::string unregist_time, unregist_thread, unregist_path, unregist_result, is_terminated;
  int unregist_calls = 0;  // 0: never unregistered
  bool complete = false;   // all of the record's lines were read
};

struct dump_entry {
  std::string time, thread, level, line, function, message;  // level: "INF", "ERR", ...
  std::string raw;                                           // the whole line
};

struct dump_contents {
  std::vector<dump_connection> connections;
  std::vector<dump_entry> entries;
  std::vector<std::string> problems;  // "line N: what could not be read"
};

// Never fails: what it cannot read is listed in `problems`.
dump_contents parse_dump(const std::string& text);

// A dump's "YYYY-MM-DD HH:MM:SS.ffffff" as seconds (the zone does not
// matter: only differences are used). False for any other text.
bool dump_time_seconds(const std::string& text, double& seconds);

// A result as the dump prints it, with its name when it has one: "261 no-server".
std::string result_text(const std::string& code);

// "still registered", or the unregister time; an unregister lands on the
// newest record whatever path it named, so a different path is shown too.
std::string unregistered_text(const dump_connection& c);

// Seconds from the register to the unregister time ("" while registered).
std::string connection_duration(const dump_connection& c);

struct log_filter {
  std::string level;     // comma-separated level names, any case; "" for all
  std::string thread;    // exact thread number
  std::string function;  // part of the function name
  std::string since;     // "YYYY-MM-DD HH:MM:SS" (any prefix), or "HH:MM[:SS]"
};
bool filter_matches(const log_filter& filter, const dump_entry& entry);
// "" when the filter is well-formed, else what is wrong with it.
std::string filter_error(const log_filter& filter);

std::string render_dump_text(const dump_contents& dump, const log_filter& filter);
std::string render_dump_html(const dump_contents& dump, const std::string& title);

}  // namespace comm_rms_tools
