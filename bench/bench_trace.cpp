// The trace path: a stored line and a dropped call, against spdlog.
#include <benchmark/benchmark.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/ringbuffer_sink.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "bench_support.h"
#include "comm_rms/operation_log.h"
#include "vantorel/ring_buffer.h"

namespace {

constexpr unsigned int kRingBytes = 102400;
// About as many lines of our length as fit in the byte ring.
constexpr std::size_t kRingLines = 850;

const char kPathFunction[] =
    "RETCODE vantorel::comm_rms_facade::get_server_path_name(COMM_RMS_SERVER_PATH_INFO&)";
const char kRegisterFunction[] =
    "RETCODE vantorel::comm_rms_facade::register_server(const COMM_RMS_REGISTER_SERVER_INFO&)";

// spdlog is handed the short name directly: it does not cut it from a
// signature as our formatter must.
const spdlog::source_loc kPathLocation{"facade.cpp", 157, "comm_rms_facade::get_server_path_name"};
const spdlog::source_loc kRegisterLocation{"facade.cpp", 173, "comm_rms_facade::register_server"};

// The alternative a team would otherwise pick, built by spdlog's own recipe
// for a sink: base_sink locks its mutex, the pattern formats the line while
// it is held, and the line goes into the same ring as our log store's, as
// one NUL-terminated entry.
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

// The closest pattern to our stored line, in local time, without a line end
// (ours has none).
std::unique_ptr<spdlog::logger> stored_line_logger(spdlog::sink_ptr sink) {
  auto logger = std::make_unique<spdlog::logger>("bench", std::move(sink));
  logger->set_formatter(
      std::make_unique<spdlog::pattern_formatter>("[%Y-%m-%d %H:%M:%S.%f][%t] [%l][%#] %!\t%v",
                                                  spdlog::pattern_time_type::local, std::string()));
  logger->set_level(spdlog::level::info);
  return logger;
}

std::shared_ptr<byte_ring_sink> byte_ring = std::make_shared<byte_ring_sink>(kRingBytes);
std::unique_ptr<spdlog::logger> byte_ring_logger = stored_line_logger(byte_ring);
std::unique_ptr<spdlog::logger> ringbuffer_mt_logger =
    stored_line_logger(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(kRingLines));

void stored_line_ours(benchmark::State& state) {
  int n = 0;
  for (auto _ : state) {
    comm_rms_operation_log(1, COMM_RMS_LEVEL_INFORMATION, 157, kPathFunction,
                           "server_path_name[%s] size[%d]", "abc", n++);
  }
}

void stored_line_spdlog(benchmark::State& state, spdlog::logger* logger) {
  int n = 0;
  for (auto _ : state) {
    logger->log(kPathLocation, spdlog::level::info, "server_path_name[{}] size[{}]", "abc", n++);
  }
}

void dropped_ours(benchmark::State& state) {
  for (auto _ : state) {
    comm_rms_operation_log(1, COMM_RMS_LEVEL_DETAIL, 173, kRegisterFunction, "[enter ]");
    benchmark::ClobberMemory();
  }
}

void dropped_spdlog(benchmark::State& state) {
  for (auto _ : state) {
    byte_ring_logger->log(kRegisterLocation, spdlog::level::debug, "[enter ]");
    benchmark::ClobberMemory();
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A baseline that stores nothing (or something else) would be no baseline.
  byte_ring_logger->log(kPathLocation, spdlog::level::info, "server_path_name[{}]", "abc");
  const std::string line = byte_ring->pop();
  if (line.find("[info][157] comm_rms_facade::get_server_path_name\tserver_path_name[abc]") ==
          std::string::npos ||
      line.back() != '\0' || !byte_ring->pop().empty()) {
    std::fprintf(stderr, "the spdlog byte ring stored \"%s\"\n", line.c_str());
    return 1;
  }
  comm_rms_bench::second_thread other;
  // The first stored line creates the log store; keep that out of the figures.
  comm_rms_operation_log(1, COMM_RMS_LEVEL_INFORMATION, 157, kPathFunction, "warm up");
  benchmark::RegisterBenchmark("stored_line/ours", stored_line_ours);
  benchmark::RegisterBenchmark("stored_line/spdlog_byte_ring", stored_line_spdlog,
                               byte_ring_logger.get());
  benchmark::RegisterBenchmark("stored_line/spdlog_ringbuffer_sink_mt", stored_line_spdlog,
                               ringbuffer_mt_logger.get());
  // Several threads are measured by the wall time: waiting for each other is
  // what they are measured for.
  for (int threads : {2, 4}) {
    benchmark::RegisterBenchmark("stored_line/ours", stored_line_ours)
        ->Threads(threads)
        ->UseRealTime();
    benchmark::RegisterBenchmark("stored_line/spdlog_byte_ring", stored_line_spdlog,
                                 byte_ring_logger.get())
        ->Threads(threads)
        ->UseRealTime();
  }
  benchmark::RegisterBenchmark("dropped/ours", dropped_ours);
  benchmark::RegisterBenchmark("dropped/spdlog_filtered", dropped_spdlog);
  return comm_rms_bench::run(argc, argv);
}
