// What the library itself adds to a request on the device, where the channel
// is the platform's: each request over an in-process channel that answers at
// once, against the bare cost of the record copies it makes, and the two
// parts it spends on besides (a stored trace line, a history record); and
// the heap allocations of each (counter "allocations", per call).
//
// This program stands in for the platform's channel: it defines the three
// channel calls, and the dynamic linker binds the library's calls to these
// (an executable's definitions come first) instead of the host's sockets.
// The same way it counts every heap allocation of the process: its malloc,
// calloc and realloc come before the C library's (operator new calls them).
#include <atomic>
#include <cstddef>
#include <cstring>
#include <string>

#include "bench_requests.h"
#include "bench_support.h"
#include "comm_rms/connect_history.h"
#include "comm_rms/operation_log.h"
#include "vantorel/ipc.h"

namespace {
std::atomic<unsigned long> allocations{0};
}  // namespace

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);

void* malloc(size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
void* realloc(void* block, size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(block, size);
}
}

namespace vantorel {

namespace {
class instant_client final : public bmc_mc_client {};
instant_client the_client;
}  // namespace

bmc_mc_client* bmc_mc_client::bmc_mc_get_client(const char* /*facade_name*/) {
  return &the_client;
}

long bmc_mc_client::bmc_mc_check_facade(const char* /*facade_name*/, long /*flags*/) {
  return 1;
}

// Answers at once: result 0, the rest of the reply as the library left it.
long bmc_mc_client::bmc_mc_send_sync_message(long /*flags*/, long /*msg_id*/, char* /*request*/,
                                             unsigned int /*request_length*/, char* reply,
                                             unsigned int* /*reply_capacity*/,
                                             const char* /*facade_name*/) {
  std::memset(reply, 0, sizeof(RETCODE));
  return 0;
}

}  // namespace vantorel

namespace {

namespace protocol = vantorel::service_protocol;

// The history keeps every register, so the count of calls is fixed.
constexpr benchmark::IterationCount kRequests = 1000;
constexpr int kRepetitions = 21;

// Heap allocations made while `state` ran, per iteration.
class allocation_count {
 public:
  explicit allocation_count(benchmark::State& state) : state_(state), before_(allocations) {}
  ~allocation_count() {
    state_.counters["allocations"] = benchmark::Counter(static_cast<double>(allocations - before_),
                                                        benchmark::Counter::kAvgIterations);
  }
  allocation_count(const allocation_count&) = delete;
  allocation_count& operator=(const allocation_count&) = delete;

 private:
  benchmark::State& state_;
  const unsigned long before_;
};

void request(benchmark::State& state, const comm_rms_bench::message_kind* kind) {
  vantorel::comm_rms_facade* facade = vantorel::comm_rms_facade::get_instance();
  const allocation_count counted(state);
  for (auto _ : state) {
    if (kind->request(facade) != 0) {
      state.SkipWithError("the request failed");
      return;
    }
  }
}

// The floor: the request record into the message, the reply cleared, and
// the reply's record back into the caller's.
void copies(benchmark::State& state, const comm_rms_bench::message_kind* kind) {
  char record[protocol::max_request_length] = {};
  char message[protocol::max_request_length];
  char reply[protocol::max_reply_capacity];
  const unsigned int request_length = kind->shape.request_length;
  const unsigned int reply_capacity = kind->shape.reply_capacity;
  for (auto _ : state) {
    benchmark::DoNotOptimize(record);
    std::memcpy(message, record, request_length);
    std::memset(reply, 0, reply_capacity);
    benchmark::DoNotOptimize(message);
    benchmark::DoNotOptimize(reply);
    std::memcpy(record, reply, reply_capacity);
    benchmark::ClobberMemory();
  }
}

void trace_line(benchmark::State& state) {
  int n = 0;
  const allocation_count counted(state);
  for (auto _ : state) {
    comm_rms_operation_log(1, COMM_RMS_LEVEL_INFORMATION, 157,
                           "RETCODE vantorel::comm_rms_facade::get_server_path_name("
                           "COMM_RMS_SERVER_PATH_INFO&)",
                           "server_path_name[%s] size[%d]", "/run/bench/server", n++);
  }
}

void history_record(benchmark::State& state) {
  const allocation_count counted(state);
  for (auto _ : state) comm_rms_register_server_log(comm_rms_bench::register_info, 0);
}

}  // namespace

int main(int argc, char** argv) {
  comm_rms_bench::fill_records();
  comm_rms_bench::second_thread other;
  // The first request creates the facade and the log store.
  for (const comm_rms_bench::message_kind& m : comm_rms_bench::kMessages) {
    if (m.request(vantorel::comm_rms_facade::get_instance()) != 0) return 1;
  }
  for (const comm_rms_bench::message_kind& m : comm_rms_bench::kMessages) {
    benchmark::RegisterBenchmark((std::string("device/ours/") + m.name).c_str(), request, &m)
        ->Iterations(kRequests)
        ->Repetitions(kRepetitions);
    benchmark::RegisterBenchmark((std::string("device/copies/") + m.name).c_str(), copies, &m)
        ->Repetitions(kRepetitions);
  }
  benchmark::RegisterBenchmark("device/part/stored_trace_line", trace_line)
      ->Repetitions(kRepetitions);
  benchmark::RegisterBenchmark("device/part/history_record", history_record)
      ->Iterations(kRequests)
      ->Repetitions(kRepetitions);
  return comm_rms_bench::run(argc, argv);
}
