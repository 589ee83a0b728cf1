// Shared harness of the benchmark programs: a second thread kept alive for
// the whole run, robust statistics, and the closing table of ratios.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace comm_rms_bench {

// glibc takes a lock-free fast path in pthread mutexes while a process has
// only one thread, which would flatter every single-thread figure. This
// thread exists from before the first measurement until the end and only
// waits.
class second_thread {
 public:
  second_thread();
  ~second_thread();
  second_thread(const second_thread&) = delete;
  second_thread& operator=(const second_thread&) = delete;

 private:
  struct state;
  state* state_;
};

// Median of the values (mean of the two middle ones for an even count);
// 0 for none.
double median(std::vector<double> values);

// Nearest-rank percentile (p in (0, 100]); 0 for none.
double percentile(std::vector<double> values, double p);

// Latencies of single operations, in nanoseconds, recorded by a benchmark
// loop without allocating while it measures.
class latency_log {
 public:
  explicit latency_log(std::size_t capacity);
  void add(double nanoseconds) {
    if (count_ < samples_.size()) samples_[count_++] = nanoseconds;
  }
  double mean() const;
  double p99() const;
  double percentile(double p) const;
  std::size_t size() const { return count_; }

 private:
  std::vector<double> samples_;
  std::size_t count_ = 0;
};

// Monotonic clock in nanoseconds.
uint64_t now_ns();

// Which time a figure is taken from.
enum class clock_kind {
  cpu,   // CPU time of the measuring thread: the work itself, which is what
         // a single thread's figure is about, whatever else the machine runs
  real,  // wall time: waits for locks, peers and the scheduler count too
};

// One line of the closing table: our figure against its baseline. A name is
// the name a benchmark was registered under, followed by "/threads:N" when
// it ran on more than one thread. With `counter` set, the figure is the
// median of that counter over the repetitions (for a run on several threads
// the sum over them, as Google Benchmark reports it); otherwise the median
// time per iteration on `clock`.
struct comparison {
  std::string figure;
  std::string ours;
  std::string baseline;  // empty: a figure without a baseline
  std::string counter;
  double target = 0;  // largest acceptable ratio; 0: no target
  clock_kind clock = clock_kind::real;
};

// CPU time of the calling thread in nanoseconds.
uint64_t thread_cpu_ns();

// The closing table's line for one comparison, from the medians of our
// figure and of its baseline (null when missing, `why` telling why); empty
// for a figure the command line filtered out.
std::string table_row(const comparison& c, const double* ours, const double* base,
                      const std::string& why);

// Runs the registered benchmarks (repetitions interleaved in random order
// unless the command line says otherwise), then prints one line per
// comparison, "ROW|figure|ours ns|baseline ns|ratio|target|met|clock", for
// scripts/bench.sh to lay out. `--verbose` also prints every repetition.
int run(int argc, char** argv, const std::vector<comparison>& table);

// Waits up to `grace_ms` for child `pid` to leave, then kills it, and reaps
// it either way. A child already reaped elsewhere is never signalled: its
// number may belong to another process by now.
void reap_child(pid_t pid, int grace_ms);

}  // namespace comm_rms_bench
