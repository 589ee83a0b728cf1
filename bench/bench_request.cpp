// Request round trips through the host channel to the service simulator in
// another process, against a raw SEQPACKET ping-pong of the same sizes.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "bench_support.h"
#include "comm_rms/comm_rms.h"
#include "seqpacket_peer.h"
#include "vantorel/host/host.h"
#include "vantorel/ipc.h"

namespace {

using comm_rms_bench::latency_log;
using comm_rms_bench::now_ns;
using comm_rms_bench::reap_child;

// Short repetitions, many of them: the load of a shared machine changes by
// the second, and every change should fall on both sides of a ratio alike.
constexpr benchmark::IterationCount kRoundTrips = 500;
constexpr int kRepetitions = 21;

enum class operation { path_name, register_server, unregister_server, connect_result, rfb_status };

struct message_shape {
  const char* name;
  operation op;
  unsigned int request;
  unsigned int reply;
};

// Request length and reply capacity of each of the five messages.
const message_shape kMessages[] = {
    {"get_server_path_name", operation::path_name, 264, 268},
    {"register_server", operation::register_server, 514, 4},
    {"unregister_server", operation::unregister_server, 264, 4},
    {"get_server_connect_result", operation::connect_result, 264, 268},
    {"get_rfb_status", operation::rfb_status, 4, 8},
};

comm_rms_bench::seqpacket_peer raw_peer;
pid_t service_pid = -1;
char run_dir[] = "/tmp/comm_rms_bench.XXXXXX";

void record(benchmark::State& state, const latency_log& log) {
  state.counters["mean_ns"] = log.mean();
  state.counters["p50_ns"] = log.percentile(50);
  state.counters["p90_ns"] = log.percentile(90);
  state.counters["p99_ns"] = log.p99();
}

void raw_round_trip(benchmark::State& state, message_shape shape) {
  unsigned char request[1024] = {};
  unsigned char reply[1024];
  const uint32_t reply_length = shape.reply;
  std::memcpy(request, &reply_length, sizeof reply_length);
  latency_log log(static_cast<std::size_t>(state.max_iterations));
  for (auto _ : state) {
    const uint64_t start = now_ns();
    const long n = raw_peer.exchange(request, shape.request, reply, sizeof reply);
    log.add(static_cast<double>(now_ns() - start));
    if (n != static_cast<long>(shape.reply)) {
      state.SkipWithError("raw peer: short or failed reply");
      break;
    }
  }
  record(state, log);
}

RETCODE request(vantorel::comm_rms_facade* facade, operation op) {
  static COMM_RMS_REGISTER_SERVER_INFO register_info = [] {
    COMM_RMS_REGISTER_SERVER_INFO info{};
    std::strcpy(info.url, "vnc://192.0.2.10:5900");
    std::strcpy(info.server_pathname, "/run/bench/server");
    return info;
  }();
  static COMM_RMS_UNREGISTER_SERVER_INFO unregister_info = [] {
    COMM_RMS_UNREGISTER_SERVER_INFO info{};
    std::strcpy(info.server_pathname, "/run/bench/server");
    return info;
  }();
  switch (op) {
    case operation::register_server:
      return facade->register_server(register_info);
    case operation::unregister_server:
      return facade->unregister_server(unregister_info);
    case operation::path_name: {
      COMM_RMS_SERVER_PATH_INFO info{};
      return facade->get_server_path_name(info);
    }
    case operation::connect_result: {
      COMM_RMS_CONNECT_RESULT_INFO info{};
      std::strcpy(info.server_path_name, "/run/bench/server");
      return facade->get_server_connect_result(info);
    }
    case operation::rfb_status:
      break;
  }
  COMM_RMS_RFB_GET_STATUS_INFO info{};
  return facade->get_rfb_status(info);
}

void our_round_trip(benchmark::State& state, message_shape shape) {
  vantorel::comm_rms_facade* facade = vantorel::comm_rms_facade::get_instance();
  latency_log log(static_cast<std::size_t>(state.max_iterations));
  for (auto _ : state) {
    const uint64_t start = now_ns();
    const RETCODE result = request(facade, shape.op);
    log.add(static_cast<double>(now_ns() - start));
    if (result == 1 || result == BMC_MC_CHANNEL_FAILURE) {
      state.SkipWithError("the request did not reach the service");
      break;
    }
  }
  record(state, log);
}

// Starts the simulator and waits until it answers readiness probes; false
// when it is not built or does not come up.
bool start_service() {
#ifdef COMM_RMS_BENCH_SERVICE
  service_pid = fork();
  if (service_pid < 0) return false;
  if (service_pid == 0) {
    // A line per request would cost the service a write per round trip.
    std::freopen("/dev/null", "w", stdout);
    execl(COMM_RMS_BENCH_SERVICE, COMM_RMS_BENCH_SERVICE, "--quiet", static_cast<char*>(nullptr));
    _exit(127);
  }
#else
  return false;
#endif
  for (int i = 0; i < 500; ++i) {
    if (vantorel::bmc_mc_client::bmc_mc_check_facade("f_comm_rms", 0) == 1) return true;
    int status = 0;
    if (waitpid(service_pid, &status, WNOHANG) == service_pid) {
      service_pid = -1;
      return false;
    }
    const timespec pause{0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  return false;
}

void stop_service() {
  if (service_pid <= 0) return;
  kill(service_pid, SIGTERM);
  reap_child(service_pid, 2000);
  service_pid = -1;
}

// Registered before the library starts its console, so that it runs after
// the console has taken its socket out of the directory at exit.
void remove_run_dir() {
  const std::string socket = std::string(run_dir) + "/f_comm_rms.sock";
  unlink(socket.c_str());
  rmdir(run_dir);
}

}  // namespace

int main(int argc, char** argv) {
  // A private run directory: the bench's simulator never meets another.
  if (mkdtemp(run_dir) == nullptr || setenv("VANTOREL_RUN_DIR", run_dir, 1) != 0) {
    std::perror("run directory");
    return 1;
  }
  std::atexit(remove_run_dir);
  // Both other processes are forked before this one has a second thread.
  if (raw_peer.start() != 0) {
    std::perror("raw peer");
    return 1;
  }
  if (!start_service()) {
    // A table without our figures would read as if nothing were wrong.
    std::fprintf(stderr, "the service simulator is not built or does not answer\n");
    raw_peer.stop();
    stop_service();
    return 1;
  }
  int rc = 0;
  {
    comm_rms_bench::second_thread other;
    std::vector<comm_rms_bench::comparison> table;
    for (const message_shape& m : kMessages) {
      const std::string raw = std::string("round_trip/raw/") + m.name;
      const std::string ours = std::string("round_trip/ours/") + m.name;
      benchmark::RegisterBenchmark(raw.c_str(), raw_round_trip, m)
          ->Iterations(kRoundTrips)
          ->Repetitions(kRepetitions);
      benchmark::RegisterBenchmark(ours.c_str(), our_round_trip, m)
          ->Iterations(kRoundTrips)
          ->Repetitions(kRepetitions);
      table.push_back({std::string(m.name) + " round trip, mean", ours, raw, "mean_ns", 1.15});
      table.push_back({std::string(m.name) + " round trip, p99", ours, raw, "p99_ns", 0});
    }
    rc = comm_rms_bench::run(argc, argv, table);
  }
  raw_peer.stop();
  stop_service();
  return rc;
}
