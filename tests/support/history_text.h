// The headings the dump writes around the connection history and the
// operation log, built from the dump's layout, for tests that compare a dump
// or look for its parts, and a record's lines.
#pragma once

#include <string>

#include "log/dump_layout.h"

namespace history_text {

namespace layout = vantorel::dump_layout;
using layout::zero_stamp;

inline std::string section(const char* title = layout::history_title) {
  return std::string(layout::banner) + "\n" + title + "\n" + layout::banner + "\n";
}
inline std::string operation_log() {
  return section(layout::log_title);
}

// Record line `which` holding `value`; for a text, its length line too.
inline std::string field(layout::line which, const std::string& value, bool text = false) {
  const std::string line = layout::field_prefix(which) + value + "]\n";
  return text ? line + field(static_cast<layout::line>(which + 1), std::to_string(value.size()))
              : line;
}

}  // namespace history_text
