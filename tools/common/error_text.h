// Text of an errno value for messages; strerror is not thread-safe.
#pragma once

#include <cstring>
#include <string>

namespace comm_rms_tools {

inline std::string error_text(int error) {
  char buffer[128];
  return strerror_r(error, buffer, sizeof buffer);  // the GNU form returns the text
}

}  // namespace comm_rms_tools
