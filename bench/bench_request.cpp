// Request round trips through the host channel to the service simulator in
// another process, against a raw SEQPACKET ping-pong of the same sizes. Each
// of ours includes the library's readiness check, which asks the channel (a
// zero-timeout poll of a pooled connection).
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "bench_requests.h"
#include "bench_support.h"
#include "comm_rms/comm_rms.h"
#include "comm_rms/service_protocol.h"
#include "vantorel/ipc.h"

namespace {

namespace protocol = vantorel::service_protocol;

constexpr unsigned int kLargest = 1024;  // bytes, more than any message

// Short repetitions, many of them: the load of a shared machine changes by
// the second, and every change should fall on both sides of a ratio alike.
constexpr benchmark::IterationCount kRoundTrips = 500;
constexpr int kRepetitions = 21;

int raw_fd = -1;  // our end of the ping-pong
pid_t raw_pid = -1;
pid_t service_pid = -1;
char run_dir[] = "/tmp/comm_rms_bench.XXXXXX";

// Times each round trip; the table takes the mean and the nearest-rank p99.
template <typename RoundTrip>
void time_round_trips(benchmark::State& state, RoundTrip round_trip) {
  std::vector<double> ns;
  ns.reserve(static_cast<std::size_t>(state.max_iterations));
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const bool ok = round_trip();
    ns.push_back(
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count());
    if (!ok) {
      state.SkipWithError("the round trip failed");
      return;
    }
  }
  std::sort(ns.begin(), ns.end());
  state.counters["mean_ns"] = std::accumulate(ns.begin(), ns.end(), 0.0) / ns.size();
  state.counters["p99_ns"] = ns[(ns.size() * 99 + 99) / 100 - 1];
}

void raw_round_trip(benchmark::State& state, protocol::message shape) {
  unsigned char request[kLargest] = {};
  unsigned char reply[kLargest];
  std::memcpy(request, &shape.reply_capacity, sizeof shape.reply_capacity);
  time_round_trips(state, [&] {
    return send(raw_fd, request, shape.request_length, MSG_NOSIGNAL) ==
               static_cast<ssize_t>(shape.request_length) &&
           recv(raw_fd, reply, sizeof reply, 0) == static_cast<ssize_t>(shape.reply_capacity);
  });
}

void our_round_trip(benchmark::State& state, const comm_rms_bench::message_kind* kind) {
  vantorel::comm_rms_facade* facade = vantorel::comm_rms_facade::get_instance();
  time_round_trips(state, [&] {
    const RETCODE result = kind->request(facade);
    return result != 1 && result != BMC_MC_CHANNEL_FAILURE;
  });
}

// The floor: a process that answers each message at once with a reply of the
// length named in the request's first word, until the socket closes.
bool start_raw_peer() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) return false;
  raw_pid = fork();
  if (raw_pid == 0) {
    close(fds[0]);
    unsigned char message[kLargest];
    uint32_t length = 0;
    while (recv(fds[1], message, sizeof message, 0) >= static_cast<ssize_t>(sizeof length)) {
      std::memcpy(&length, message, sizeof length);
      if (send(fds[1], message, std::min<uint32_t>(length, sizeof message), MSG_NOSIGNAL) < 0)
        break;
    }
    _exit(0);
  }
  close(fds[1]);
  raw_fd = fds[0];
  return raw_pid > 0;
}

// Starts the simulator and waits until it answers readiness probes.
bool start_service() {
  service_pid = fork();
  if (service_pid == 0) {
    // A line per request would cost the service a write per round trip.
    std::freopen("/dev/null", "w", stdout);
    execl(COMM_RMS_BENCH_SERVICE, COMM_RMS_BENCH_SERVICE, "--quiet", static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 500 && service_pid > 0; ++i) {
    if (vantorel::bmc_mc_client::bmc_mc_check_facade(protocol::facade_name, 0) == 1) return true;
    if (waitpid(service_pid, nullptr, WNOHANG) == service_pid) service_pid = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void stop_children() {
  if (raw_fd >= 0) close(raw_fd);  // the peer leaves when the socket closes
  if (service_pid > 0) kill(service_pid, SIGTERM);
  for (pid_t child : {raw_pid, service_pid}) {
    if (child > 0) waitpid(child, nullptr, 0);
  }
}

// Registered before the library starts its console, so that it runs after
// the console has taken its socket out of the directory at exit.
void remove_run_dir() {
  unlink((std::string(run_dir) + "/" + protocol::facade_name + ".sock").c_str());
  rmdir(run_dir);
}

}  // namespace

int main(int argc, char** argv) {
  // Everything on the CPU this starts on (the peers inherit it): where the
  // scheduler puts each peer, and how long an idle virtual CPU takes to
  // wake (tens of us on a shared guest), would otherwise decide a run
  // rather than the work of either side.
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(sched_getcpu(), &one);
  sched_setaffinity(0, sizeof one, &one);
  // A private run directory: the bench's simulator never meets another.
  if (mkdtemp(run_dir) == nullptr || setenv("VANTOREL_RUN_DIR", run_dir, 1) != 0) {
    std::perror("run directory");
    return 1;
  }
  std::atexit(remove_run_dir);
  comm_rms_bench::fill_records();
  // Both other processes are forked before this one has a second thread.
  if (!start_raw_peer() || !start_service()) {
    // A table without our figures would read as if nothing were wrong.
    std::fprintf(stderr, "the raw peer or the service simulator does not answer\n");
    stop_children();
    return 1;
  }
  int rc = 0;
  {
    comm_rms_bench::second_thread other;
    for (const comm_rms_bench::message_kind& m : comm_rms_bench::kMessages) {
      benchmark::RegisterBenchmark((std::string("round_trip/raw/") + m.name).c_str(),
                                   raw_round_trip, m.shape)
          ->Iterations(kRoundTrips)
          ->Repetitions(kRepetitions);
      benchmark::RegisterBenchmark((std::string("round_trip/ours/") + m.name).c_str(),
                                   our_round_trip, &m)
          ->Iterations(kRoundTrips)
          ->Repetitions(kRepetitions);
    }
    rc = comm_rms_bench::run(argc, argv);
  }
  stop_children();
  return rc;
}
