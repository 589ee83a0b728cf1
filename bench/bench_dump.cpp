// The debug dump of a full log store against the floor of writing the same
// lines with fopen, one fwrite per line and fclose.
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "comm_rms/debug_dump.h"
#include "comm_rms/operation_log.h"
#include "vantorel/host/host.h"

namespace {

namespace dump = vantorel::debug_dump;

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

int deliver_dump() {
  return vantorel::host::ucom_deliver(dump::receiver_name, dump::command);
}

// The trace lines of one full dump, each with its newline: those after the
// "Operation log" heading.
std::vector<std::string> floor_lines;

double thread_cpu_ns() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// The CPU time of the writing thread (system time included) is the cost;
// the wall time adds whatever the disk and the scheduler did meanwhile.
template <typename Write>
void time_writes(benchmark::State& state, Write write, void (*prepare)() = nullptr) {
  double cpu = 0;
  for (auto _ : state) {
    if (prepare != nullptr) prepare();
    const auto start = std::chrono::steady_clock::now();
    const double start_cpu = thread_cpu_ns();
    const bool ok = write();
    cpu += thread_cpu_ns() - start_cpu;
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (!ok) {
      state.SkipWithError("the write failed");
      return;
    }
  }
  state.counters["cpu_ns"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
}

void dump_ours(benchmark::State& state) {
  time_writes(
      state, [] { return deliver_dump() == 0; }, fill_store);
}

void dump_floor(benchmark::State& state) {
  time_writes(state, [] {
    FILE* file = std::fopen(kFloorPath, "w+");
    if (file == nullptr) return false;
    for (const std::string& line : floor_lines) std::fwrite(line.data(), 1, line.size(), file);
    return std::fclose(file) == 0;
  });
}

}  // namespace

int main(int argc, char** argv) {
  // The dump writes to a fixed directory that is not created for it.
  if (mkdir(dump::directory, 0700) != 0 && errno != EEXIST) {
    std::perror(dump::directory);
    return 1;
  }
  comm_rms_bench::second_thread other;
  fill_store();  // creates the store and its console receiver
  if (deliver_dump() != 0) {
    std::fprintf(stderr, "the dump failed: is %s usable?\n", dump::path);
    return 1;
  }
  std::ifstream written(dump::path);
  std::string line;
  while (std::getline(written, line) && line != "Operation log") {
  }
  std::getline(written, line);  // the banner under the heading
  while (std::getline(written, line)) floor_lines.push_back(line + "\n");
  std::fprintf(stderr, "a full dump writes %zu trace lines\n", floor_lines.size());
  benchmark::RegisterBenchmark("dump/ours", dump_ours)->UseManualTime()->MinTime(0.2);
  benchmark::RegisterBenchmark("dump/floor_fopen_fwrite_fclose", dump_floor)
      ->UseManualTime()
      ->MinTime(0.2);
  const int rc = comm_rms_bench::run(argc, argv);
  std::remove(kFloorPath);
  return rc;
}
