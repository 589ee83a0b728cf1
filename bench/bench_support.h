// What every benchmark program shares. Google Benchmark repeats, interleaves
// and aggregates; scripts/bench.sh turns its medians into the table of ratios.
#pragma once

#include <benchmark/benchmark.h>

#include <future>
#include <thread>

namespace comm_rms_bench {

// glibc takes a lock-free fast path in pthread mutexes while a process has
// only one thread, which would flatter every single-thread figure. This
// thread exists from before the first measurement until the end and only
// waits.
class second_thread {
 public:
  second_thread() : thread_([done = done_.get_future()] { done.wait(); }) {}
  ~second_thread() {
    done_.set_value();
    thread_.join();
  }
  second_thread(const second_thread&) = delete;
  second_thread& operator=(const second_thread&) = delete;

 private:
  std::promise<void> done_;
  std::thread thread_;
};

// Runs the registered benchmarks as the command line says.
inline int run(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace comm_rms_bench
