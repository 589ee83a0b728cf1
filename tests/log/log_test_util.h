// Shared helpers of the diagnostics tests.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdio>
#include <string>
#include <vector>

#include "log/comm_rms_ucom_log.h"

namespace log_test {

// Fresh-process scenarios re-run the test binary (instead of forking this
// process), so that the library's singletons really start from nothing.
// Called from the test body: gtest's flags exist only once main runs.
inline void fresh_children() {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
}

inline std::string thread_field() {
  char text[32];
  std::snprintf(text, sizeof text, "%010lu", static_cast<unsigned long>(pthread_self()));
  return text;
}

// Every entry of the process's store, oldest first; the store is left empty.
inline std::vector<std::string> drain_store() {
  std::vector<std::string> lines;
  std::vector<unsigned char> entry;
  while (vantorel::comm_rms_ucom_log::get_instance()->pop_log(entry) == 0) {
    lines.emplace_back(entry.begin(), entry.end());
  }
  return lines;
}

}  // namespace log_test
