#include "bench_support.h"

#include <sys/wait.h>

#include <cerrno>
#include <csignal>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <numeric>
#include <thread>

namespace comm_rms_bench {

struct second_thread::state {
  std::mutex mutex;
  std::condition_variable wake;
  bool done = false;
  std::thread thread;
};

second_thread::second_thread() : state_(new state) {
  state_->thread = std::thread([s = state_] {
    std::unique_lock<std::mutex> lock(s->mutex);
    s->wake.wait(lock, [s] { return s->done; });
  });
}

second_thread::~second_thread() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->done = true;
  }
  state_->wake.notify_one();
  state_->thread.join();
  delete state_;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  const std::size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + mid, values.end());
  if (values.size() % 2 != 0) return values[mid];
  const double upper = values[mid];
  const double lower = *std::max_element(values.begin(), values.begin() + mid);
  return (lower + upper) / 2;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  std::size_t rank = static_cast<std::size_t>(std::ceil(p / 100.0 * values.size()));
  if (rank < 1) rank = 1;
  if (rank > values.size()) rank = values.size();
  return values[rank - 1];
}

latency_log::latency_log(std::size_t capacity) : samples_(capacity, 0.0) {}

double latency_log::mean() const {
  if (count_ == 0) return 0;
  return std::accumulate(samples_.begin(), samples_.begin() + count_, 0.0) / count_;
}

double latency_log::p99() const {
  return percentile(99);
}

double latency_log::percentile(double p) const {
  return comm_rms_bench::percentile(
      std::vector<double>(samples_.begin(), samples_.begin() + count_), p);
}

uint64_t now_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000ULL + static_cast<uint64_t>(t.tv_nsec);
}

uint64_t thread_cpu_ns() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000ULL + static_cast<uint64_t>(t.tv_nsec);
}

namespace {

// Keeps every repetition's figures; prints them only when asked to.
class collecting_reporter : public benchmark::ConsoleReporter {
 public:
  explicit collecting_reporter(bool verbose) : verbose_(verbose) {}

  bool ReportContext(const Context& context) override {
    return verbose_ ? ConsoleReporter::ReportContext(context) : true;
  }

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration) continue;
      std::string key = r.run_name.function_name;
      if (r.threads > 1) key += "/threads:" + std::to_string(r.threads);
      if (r.error_occurred) {
        errors_[key] = r.error_message;
        continue;
      }
      figures& f = results_[key];
      const double unit = 1e9 / benchmark::GetTimeUnitMultiplier(r.time_unit);
      f.real_ns.push_back(r.GetAdjustedRealTime() * unit);
      f.cpu_ns.push_back(r.GetAdjustedCPUTime() * unit);
      for (const auto& c : r.counters) f.counters[c.first].push_back(c.second.value);
    }
    if (verbose_) ConsoleReporter::ReportRuns(runs);
  }

  // Median over the repetitions; false when the benchmark did not run.
  bool value(const std::string& key, const comparison& c, double* out, std::string* why) const {
    auto e = errors_.find(key);
    if (e != errors_.end()) {
      *why = e->second;
      return false;
    }
    auto it = results_.find(key);
    if (it == results_.end()) {
      *why = "not run";
      return false;
    }
    if (c.counter.empty()) {
      *out = median(c.clock == clock_kind::cpu ? it->second.cpu_ns : it->second.real_ns);
      return true;
    }
    auto found = it->second.counters.find(c.counter);
    if (found == it->second.counters.end()) {
      *why = "no counter " + c.counter;
      return false;
    }
    *out = median(found->second);
    return true;
  }

 private:
  struct figures {
    std::vector<double> real_ns;
    std::vector<double> cpu_ns;
    std::map<std::string, std::vector<double>> counters;
  };
  bool verbose_;
  std::map<std::string, figures> results_;
  std::map<std::string, std::string> errors_;
};

bool has_flag(int argc, char** argv, const char* name) {
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], name, std::strlen(name)) == 0) return true;
  }
  return false;
}

}  // namespace

std::string table_row(const comparison& c, const double* ours, const double* base,
                      const std::string& why) {
  const char* clock = c.clock == clock_kind::cpu ? "cpu" : "real";
  const char* figure = c.figure.c_str();
  char row[512];
  if (ours == nullptr) {
    // A figure left out by the command line's filter is no error.
    if (why == "not run") return std::string();
    std::snprintf(row, sizeof row, "ROW|%s|error: %s|-|-|-|-|%s", figure, why.c_str(), clock);
  } else if (c.baseline.empty()) {
    std::snprintf(row, sizeof row, "ROW|%s|%.1f|-|-|-|-|%s", figure, *ours, clock);
  } else if (base == nullptr || *base <= 0) {
    std::snprintf(row, sizeof row, "ROW|%s|%.1f|error: %s|-|-|-|%s", figure, *ours,
                  why.empty() ? "no figure" : why.c_str(), clock);
  } else {
    const double ratio = *ours / *base;
    if (c.target > 0) {
      std::snprintf(row, sizeof row, "ROW|%s|%.1f|%.1f|%.3f|<= %.2f|%s|%s", figure, *ours, *base,
                    ratio, c.target, ratio <= c.target ? "yes" : "no", clock);
    } else {
      std::snprintf(row, sizeof row, "ROW|%s|%.1f|%.1f|%.3f|-|-|%s", figure, *ours, *base, ratio,
                    clock);
    }
  }
  return row;
}

int run(int argc, char** argv, const std::vector<comparison>& table) {
  bool verbose = false;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--verbose") == 0) {
      verbose = true;
    } else {
      args.push_back(argv[i]);
    }
  }
  // Baseline and figure share the run: repetitions alternate at random, and
  // each ratio is taken between medians.
  static char repetitions[] = "--benchmark_repetitions=9";
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  static char min_time[] = "--benchmark_min_time=0.02";
  int count = static_cast<int>(args.size());
  if (!has_flag(count, args.data(), "--benchmark_repetitions")) args.push_back(repetitions);
  if (!has_flag(count, args.data(), "--benchmark_enable_random_interleaving")) {
    args.push_back(interleave);
  }
  if (!has_flag(count, args.data(), "--benchmark_min_time")) args.push_back(min_time);
  int new_count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&new_count, args.data());
  if (benchmark::ReportUnrecognizedArguments(new_count, args.data())) return 2;

  collecting_reporter reporter(verbose);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  for (const comparison& c : table) {
    double ours = 0;
    double base = 0;
    std::string why;
    const bool have_ours = reporter.value(c.ours, c, &ours, &why);
    const bool have_base =
        have_ours && !c.baseline.empty() && reporter.value(c.baseline, c, &base, &why);
    const std::string row =
        table_row(c, have_ours ? &ours : nullptr, have_base ? &base : nullptr, why);
    if (!row.empty()) std::printf("%s\n", row.c_str());
  }
  std::fflush(stdout);
  return 0;
}

void reap_child(pid_t pid, int grace_ms) {
  for (int waited = 0; waited < grace_ms; waited += 10) {
    const pid_t reaped = waitpid(pid, nullptr, WNOHANG);
    if (reaped == pid || (reaped < 0 && errno == ECHILD)) return;
    const timespec pause{0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

}  // namespace comm_rms_bench
