// The headings the dump writes around the connection history and the
// operation log, built from the dump's layout, for tests that compare a dump
// or look for its parts.
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

}  // namespace history_text
