// The debug dump of a full log store against the floor of writing the same
// lines with fopen, one fwrite per line and fclose.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "comm_rms/debug_dump.h"
#include "comm_rms/operation_log.h"
#include "dump_lines.h"
#include "vantorel/ucom.h"

namespace {

using comm_rms_bench::now_ns;
using comm_rms_bench::thread_cpu_ns;

namespace dd = vantorel::debug_dump;
const char kFloorPath[] = COMM_RMS_DUMP_DIRECTORY "comm_rms_bench_floor.log";
const char kFunction[] =
    "RETCODE vantorel::comm_rms_facade::get_server_path_name(COMM_RMS_SERVER_PATH_INFO&)";

// More lines than the store's ring holds, so that it is full: 120
// characters each (a 92-character prefix and a 28-character message).
void fill_store() {
  for (int i = 0; i < 900; ++i) {
    comm_rms_operation_log(1, COMM_RMS_LEVEL_INFORMATION, 157, kFunction,
                           "server_path_name[%s] size[%d]", "", 100 + i);
  }
}

std::string read_file(const char* path) {
  std::string text;
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return text;
  char chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
  std::fclose(file);
  return text;
}

// The trace lines of one full dump, as it wrote them.
std::vector<std::string> floor_lines;

void dump_ours(benchmark::State& state) {
  vantorel::UCOM_UsrCommandManager* console = vantorel::UCOM_UsrCommandManager::ucom_instance();
  double cpu = 0;
  for (auto _ : state) {
    fill_store();
    const uint64_t start = now_ns();
    const uint64_t start_cpu = thread_cpu_ns();
    const int result = console->ucom_deliver(dd::receiver_name, dd::command);
    cpu += static_cast<double>(thread_cpu_ns() - start_cpu);
    state.SetIterationTime(static_cast<double>(now_ns() - start) * 1e-9);
    if (result != 0) {
      state.SkipWithError("the dump failed");
      break;
    }
  }
  state.counters["cpu_ns"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
}

void dump_floor(benchmark::State& state) {
  const std::vector<std::string>& lines = floor_lines;
  double cpu = 0;
  for (auto _ : state) {
    const uint64_t start = now_ns();
    const uint64_t start_cpu = thread_cpu_ns();
    FILE* file = std::fopen(kFloorPath, "w+");
    if (file == nullptr) {
      state.SkipWithError("cannot open the floor's file");
      break;
    }
    for (const std::string& line : lines) std::fwrite(line.data(), 1, line.size(), file);
    std::fclose(file);
    cpu += static_cast<double>(thread_cpu_ns() - start_cpu);
    state.SetIterationTime(static_cast<double>(now_ns() - start) * 1e-9);
  }
  state.counters["cpu_ns"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
}

}  // namespace

int main(int argc, char** argv) {
  // The dump writes to a fixed directory that is not created for it.
  if (mkdir(dd::directory, 0700) != 0 && errno != EEXIST) {
    std::perror(dd::directory);
    return 1;
  }
  comm_rms_bench::second_thread other;
  fill_store();  // creates the store and its console receiver
  if (vantorel::UCOM_UsrCommandManager::ucom_instance()->ucom_deliver(dd::receiver_name,
                                                                      dd::command) != 0) {
    std::fprintf(stderr, "the dump failed: is %s usable?\n", dd::path);
    return 1;
  }
  floor_lines = comm_rms_bench::operation_log_lines(read_file(dd::path));
  std::fprintf(stderr, "a full dump writes %zu trace lines\n", floor_lines.size());
  benchmark::RegisterBenchmark("dump/ours", dump_ours)->UseManualTime()->MinTime(0.2);
  benchmark::RegisterBenchmark("dump/floor_fopen_fwrite_fclose", dump_floor)
      ->UseManualTime()
      ->MinTime(0.2);
  // The CPU time of the writing thread (system time included) is the cost;
  // the wall time adds whatever the disk and the scheduler did meanwhile.
  const std::vector<comm_rms_bench::comparison> table = {
      {"UCGETMEMINFO, full store vs fopen/fwrite/fclose", "dump/ours",
       "dump/floor_fopen_fwrite_fclose", "cpu_ns", 1.0, comm_rms_bench::clock_kind::cpu},
      {"UCGETMEMINFO, full store, wall time", "dump/ours", "dump/floor_fopen_fwrite_fclose", "", 0,
       comm_rms_bench::clock_kind::real},
  };
  const int rc = comm_rms_bench::run(argc, argv, table);
  std::remove(kFloorPath);
  return rc;
}
