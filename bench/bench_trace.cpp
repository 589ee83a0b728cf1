// The trace path: a stored line and a dropped call, against spdlog.
#include <benchmark/benchmark.h>
#include <spdlog/sinks/ringbuffer_sink.h>

#include <memory>

#include "bench_support.h"
#include "comm_rms/operation_log.h"
#include "spdlog_baseline.h"

namespace {

using comm_rms_bench::byte_ring_sink;

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

spdlog::logger& byte_ring_logger() {
  static auto logger =
      comm_rms_bench::make_stored_line_logger(std::make_shared<byte_ring_sink>(kRingBytes));
  return *logger;
}

spdlog::logger& ringbuffer_mt_logger() {
  static auto logger = comm_rms_bench::make_stored_line_logger(
      std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(kRingLines));
  return *logger;
}

void stored_line_ours(benchmark::State& state) {
  int n = 0;
  for (auto _ : state) {
    comm_rms_operation_log(1, COMM_RMS_LEVEL_INFORMATION, 157, kPathFunction,
                           "server_path_name[%s] size[%d]", "abc", n++);
  }
}

void stored_line_spdlog(benchmark::State& state, spdlog::logger& logger) {
  int n = 0;
  for (auto _ : state) {
    logger.log(kPathLocation, spdlog::level::info, "server_path_name[{}] size[{}]", "abc", n++);
  }
}

void dropped_ours(benchmark::State& state) {
  for (auto _ : state) {
    comm_rms_operation_log(1, COMM_RMS_LEVEL_DETAIL, 173, kRegisterFunction, "[enter ]");
    benchmark::ClobberMemory();
  }
}

void dropped_spdlog(benchmark::State& state) {
  spdlog::logger& logger = byte_ring_logger();
  for (auto _ : state) {
    logger.log(kRegisterLocation, spdlog::level::debug, "[enter ]");
    benchmark::ClobberMemory();
  }
}

void register_all() {
  benchmark::RegisterBenchmark("stored_line/ours", stored_line_ours);
  benchmark::RegisterBenchmark("stored_line/spdlog_byte_ring", stored_line_spdlog,
                               std::ref(byte_ring_logger()));
  benchmark::RegisterBenchmark("stored_line/spdlog_ringbuffer_sink_mt", stored_line_spdlog,
                               std::ref(ringbuffer_mt_logger()));
  for (int threads : {2, 4}) {
    benchmark::RegisterBenchmark("stored_line/ours", stored_line_ours)
        ->Threads(threads)
        ->UseRealTime();
    benchmark::RegisterBenchmark("stored_line/spdlog_byte_ring", stored_line_spdlog,
                                 std::ref(byte_ring_logger()))
        ->Threads(threads)
        ->UseRealTime();
  }
  benchmark::RegisterBenchmark("dropped/ours", dropped_ours);
  benchmark::RegisterBenchmark("dropped/spdlog_filtered", dropped_spdlog);
}

}  // namespace

int main(int argc, char** argv) {
  comm_rms_bench::second_thread other;
  // The first stored line creates the log store; keep that out of the figures.
  comm_rms_operation_log(1, COMM_RMS_LEVEL_INFORMATION, 157, kPathFunction, "warm up");
  register_all();
  using comm_rms_bench::clock_kind;
  // One thread: its CPU time is the cost of a line. Several threads: the
  // wall time, since waiting for each other is what they are measured for.
  const std::vector<comm_rms_bench::comparison> table = {
      {"stored line, 1 thread vs spdlog byte ring", "stored_line/ours",
       "stored_line/spdlog_byte_ring", "", 0.6, clock_kind::cpu},
      {"stored line, 1 thread vs spdlog ringbuffer_sink_mt", "stored_line/ours",
       "stored_line/spdlog_ringbuffer_sink_mt", "", 1.1, clock_kind::cpu},
      {"stored line, 2 threads vs spdlog byte ring", "stored_line/ours/threads:2",
       "stored_line/spdlog_byte_ring/threads:2", "", 0.5, clock_kind::real},
      {"stored line, 4 threads vs spdlog byte ring", "stored_line/ours/threads:4",
       "stored_line/spdlog_byte_ring/threads:4", "", 0, clock_kind::real},
      {"dropped call (level 32) vs spdlog filtered", "dropped/ours", "dropped/spdlog_filtered", "",
       1.0, clock_kind::cpu},
  };
  return comm_rms_bench::run(argc, argv, table);
}
