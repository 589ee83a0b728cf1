// The texts the dump writes around and for the connection history, built
// from the dump's layout, for tests that compare a rendering or a dump whole.
#pragma once

#include <string>

#include "log/dump_layout.h"

namespace history_text {

namespace layout = vantorel::dump_layout;
using layout::zero_stamp;

inline std::string heading(const char* title) {
  return std::string(layout::banner) + "\n" + title + "\n" + layout::banner + "\n";
}
inline std::string section() {
  return heading(layout::history_title);
}
inline std::string operation_log() {
  return heading(layout::log_title);
}

// Record line `which` holding `value`; for a text, its length line too.
inline std::string field(layout::line which, const std::string& value, bool text = false) {
  const std::string line = layout::field_prefix(which) + value + "]\n";
  return text ? line + field(static_cast<layout::line>(which + 1), std::to_string(value.size()))
              : line;
}

// "<word>[when] CallNum:[calls]" and the parameter line; `when` is the text
// between "[" and "]" around time stamp and thread.
inline std::string stamp(const char* word, const std::string& when, int calls) {
  return layout::stamp_indent + (word + ("[" + when)) + layout::stamp_calls +
         std::to_string(calls) + "]\n" + layout::parameter + "\n";
}

inline std::string regist(const std::string& id, const std::string& when, const std::string& url,
                          const std::string& path, const std::string& result) {
  return layout::separator + ("\n" + (layout::id_open + id)) + "]\n" +
         stamp(layout::regist_word, when, 1) + field(layout::url, url, true) +
         field(layout::regist_path, path, true) + field(layout::regist_result, result) + "\n";
}

inline std::string unregist(const std::string& when, int calls, const std::string& path,
                            int terminated, const std::string& result) {
  return stamp(layout::unregist_word, when, calls) + field(layout::unregist_path, path, true) +
         field(layout::is_terminated, std::to_string(terminated)) +
         field(layout::unregist_result, result);
}

}  // namespace history_text
