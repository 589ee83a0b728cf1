// Shared helpers of the diagnostics tests.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdio>
#include <string>
#include <vector>

#include "log/comm_rms_ucom_log.h"

namespace log_test {

inline std::string thread_field() {
  char text[32];
  std::snprintf(text, sizeof text, "%010lu", static_cast<unsigned long>(pthread_self()));
  return text;
}

// Every entry of `store` (NUL included), oldest first; leaves it empty.
inline std::vector<std::string> drain(
    vantorel::comm_rms_ucom_log* store = vantorel::comm_rms_ucom_log::get_instance()) {
  std::vector<std::string> lines;
  std::vector<unsigned char> entry;
  while (store->pop_log(entry) == 0) lines.emplace_back(entry.begin(), entry.end());
  return lines;
}

}  // namespace log_test
