// The texts the dump writes around and for the connection history, built
// from the dump's layout, for tests that compare a rendering or a dump whole.
#pragma once

#include <string>

#include "log/dump_layout.h"

namespace history_text {

namespace layout = vantorel::dump_layout;

inline std::string heading(const char* title) {
  return std::string(layout::banner) + "\n" + title + "\n" + layout::banner + "\n";
}
inline std::string section() {
  return heading(layout::history_title);
}
inline std::string operation_log() {
  return heading(layout::log_title);
}

using layout::zero_stamp;

inline std::string field(layout::line which, const std::string& value) {
  const layout::field& f = layout::fields[which];
  std::string label(f.label);
  label.resize(static_cast<size_t>(layout::label_width(f)), ' ');
  return std::string(static_cast<size_t>(f.indent), ' ') + label + layout::field_open + value +
         "]\n";
}

inline std::string stamp(const char* word, const std::string& when, int calls) {
  return std::string(layout::stamp_indent) + word + "[" + when + layout::stamp_calls +
         std::to_string(calls) + "]\n" + layout::parameter + "\n";
}

// `when` is the text between "[" and "]" around time stamp and thread.
inline std::string regist(const std::string& id, const std::string& when, const std::string& url,
                          const std::string& path, const std::string& result) {
  return std::string(layout::separator) + "\n" + layout::id_open + id + "]\n" +
         stamp(layout::regist_word, when, 1) + field(layout::url, url) +
         field(layout::url_length, std::to_string(url.size())) + field(layout::regist_path, path) +
         field(layout::regist_path_length, std::to_string(path.size())) +
         field(layout::regist_result, result) + "\n";
}

inline std::string unregist(const std::string& when, int calls, const std::string& path,
                            int terminated, const std::string& result) {
  return stamp(layout::unregist_word, when, calls) + field(layout::unregist_path, path) +
         field(layout::unregist_path_length, std::to_string(path.size())) +
         field(layout::is_terminated, std::to_string(terminated)) +
         field(layout::unregist_result, result);
}

}  // namespace history_text
