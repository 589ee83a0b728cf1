// What the facade left behind: stored trace lines and the connection history.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "comm_rms/comm_rms.h"
#include "log/comm_rms_ucom_log.h"
#include "test_platform.h"

namespace facade_test {

using lines = std::vector<std::string>;
using bytes = std::vector<unsigned char>;

// Lines taken out of the log store, without their time and thread.
inline lines stored_lines() {
  lines taken;
  for (bytes entry; vantorel::comm_rms_ucom_log::get_instance()->pop_log(entry) == 0;) {
    const std::string line(entry.begin(), entry.end() - 1);  // without the NUL
    taken.push_back(line.substr(line.find("] ") + 2));
  }
  return taken;
}

// The rendered connection history.
inline std::string history() {
  FILE* file = std::tmpfile();
  vantorel::comm_rms_ucom_log::get_instance()->output_information_log_(file);
  std::string text(static_cast<size_t>(std::ftell(file)), '\0');
  std::rewind(file);
  text.resize(std::fread(&text[0], 1, text.size(), file));
  std::fclose(file);
  return text;
}

inline bytes word_bytes(int32_t word) {
  bytes raw(sizeof word);
  std::memcpy(raw.data(), &word, sizeof word);
  return raw;
}

}  // namespace facade_test
