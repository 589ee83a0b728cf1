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

// Record line `which` holding `value`.
inline std::string field(layout::line which, const std::string& value) {
  return layout::field_prefix(which) + value + "]\n";
}

}  // namespace history_text
