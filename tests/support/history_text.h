// The texts the dump writes around and for the connection history, built
// from their parts, for tests that compare a rendering or a dump whole.
#pragma once

#include <cstring>
#include <string>

namespace history_text {

inline std::string heading(const char* title) {
  const std::string banner(80, '=');
  return banner + "\n" + title + "\n" + banner + "\n";
}
inline std::string section() {
  return heading("Remote Panel Connect Information");
}
inline std::string operation_log() {
  return heading("Operation log");
}

// Time stamp and thread of an unregister part never filled.
const char kZeroStamp[] = "1900-01-00 00:00:00.000000][0000000000";

// A label padded so that its colon stands in column 36 (after `indent` blanks).
inline std::string field(const char* label, const std::string& value, size_t indent = 12) {
  return std::string(indent, ' ') + label + std::string(35 - indent - std::strlen(label), ' ') +
         ":[" + value + "]\n";
}

// `when` is the text between "[" and "]" around time stamp and thread.
inline std::string regist(const std::string& id, const std::string& when, const std::string& url,
                          const std::string& path, const std::string& result) {
  return std::string(80, '-') + "\n[ID:" + id + "]\n    Regist[" + when +
         "] CallNum:[1]\n        Parameter\n" + field("url", url) +
         field("url_length", std::to_string(url.size())) + field("server_pathname", path) +
         field("server_pathname_length", std::to_string(path.size())) + field("Result", result, 8) +
         "\n";
}

inline std::string unregist(const std::string& when, int calls, const std::string& path,
                            int terminated, const std::string& result) {
  return "    Unregist[" + when + "] CallNum:[" + std::to_string(calls) + "]\n        Parameter\n" +
         field("server_pathname", path) +
         field("server_pathname_length", std::to_string(path.size())) +
         field("is_terminated", std::to_string(terminated)) + field("Result", result, 8);
}

}  // namespace history_text
