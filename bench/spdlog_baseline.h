// The alternative a team would otherwise pick: spdlog with a pattern that
// gives our stored line's shape, writing into a byte ring of the same size
// and the same ring implementation as our log store.
#pragma once

#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/base_sink.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vantorel/ring_buffer.h"

namespace comm_rms_bench {

// Closest spdlog pattern to "[date time.us][thread] [tag][line] class::member\tmessage".
inline const char* stored_line_pattern() {
  return "[%Y-%m-%d %H:%M:%S.%f][%t] [%l][%#] %!\t%v";
}

// spdlog's own recipe for a sink: base_sink locks its mutex, the pattern
// formats the line while it is held, and the line is copied into the ring
// as one NUL-terminated entry.
class byte_ring_sink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit byte_ring_sink(unsigned int capacity) { ring_.create_ring_buffer(capacity); }

  // Oldest entry, or an empty text when there is none.
  std::string pop() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<unsigned char> entry;
    if (ring_.pop_data(entry) != 0) return std::string();
    return std::string(entry.begin(), entry.end());
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t line;
    formatter_->format(msg, line);
    line.push_back('\0');
    ring_.push_data(line.data(), static_cast<unsigned int>(line.size()));
  }
  void flush_() override {}

 private:
  vantorel::put_lib_log_ring_buffer ring_;
};

// A logger over `sink` with the stored-line pattern, in local time, without
// a line end (our stored line has none).
inline std::unique_ptr<spdlog::logger> make_stored_line_logger(spdlog::sink_ptr sink) {
  auto logger = std::make_unique<spdlog::logger>("bench", std::move(sink));
  logger->set_formatter(std::make_unique<spdlog::pattern_formatter>(
      stored_line_pattern(), spdlog::pattern_time_type::local, std::string()));
  logger->set_level(spdlog::level::info);
  return logger;
}

}  // namespace comm_rms_bench
