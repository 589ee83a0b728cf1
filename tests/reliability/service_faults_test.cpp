// Service faults: the simulator is killed, restarted and stalled while
// several threads loop over all five requests; requests also run under a
// low descriptor limit (a storm of signals hits the channel in the host
// group). Every call must come
// back within the documented bound, with 1 or the channel-failure code, or
// with a reply word that the service really sent for that request (never a
// 0 for a request that no service answered); the client must not crash nor
// keep descriptors it no longer uses.
//
// SOAK_KILLS, SOAK_STALLS, SOAK_THREADS and SOAK_SEED override the defaults
// (scripts/soak.sh runs a longer soak through them).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "comm_rms/comm_rms.h"
#include "comm_rms/service_protocol.h"
#include "test_support.h"
#include "vantorel/ipc.h"

namespace {

using vantorel::comm_rms_facade;

// Generous, so that a loaded machine does not time out a healthy reply.
constexpr int kReplyTimeoutMs = 1000;
constexpr int kProbeLimitMs = 1000;  // a readiness probe waits at most this (or the reply timeout)
constexpr int kRetrySleepMs = 300;
constexpr int kChecks = 101;

// The client's channel settings and socket directory, private to this
// executable; set before the library first reads them. The simulator's
// logs go there too.
struct private_environment {
  test_support::run_dir dir;
  private_environment() {
    setenv("VANTOREL_REPLY_TIMEOUT_MS", std::to_string(kReplyTimeoutMs).c_str(), 1);
  }
} environment;

int setting(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::atoi(text) : fallback;
}

// The longest a request can take: every readiness check failing after its
// full wait, the sleeps between them, then one exchange.
long documented_bound_ms() {
  const long probe = std::min(kReplyTimeoutMs, kProbeLimitMs);
  return kChecks * probe + (kChecks - 1) * kRetrySleepMs + kReplyTimeoutMs;
}

void pause_ms(int ms) {
  timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

// The simulator as a child process; each start is a new incarnation with a
// log of its own.
class simulator {
 public:
  bool start() {
    const std::string name = "service-" + std::to_string(logs_.size() + 1);
    logs_.push_back(environment.dir.path() + "/" + name + ".out");
    return test_support::start_service(process_, COMM_RMS_SERVICE, environment.dir, {}, name);
  }
  bool restart() {
    process_.kill_now();
    return start();
  }
  void kill() { process_.kill_now(); }
  void stall(int ms) {
    process_.signal(SIGSTOP);
    pause_ms(ms);
    process_.signal(SIGCONT);
  }
  const std::vector<std::string>& logs() const { return logs_; }
  bool running() const { return process_.running(); }

 private:
  test_support::process process_;
  std::vector<std::string> logs_;
};

simulator& service() {
  static simulator* s = new simulator;  // outlives the tests; killed by the test's end
  return *s;
}

struct call {
  int msg_id;
  std::string key;  // the request's server path, for the requests that carry one
  RETCODE result;
  long ms;
};

// All five requests, on a server path of their own.
void cycle(int thread, int round, std::vector<call>& out) {
  comm_rms_facade* facade = comm_rms_facade::get_instance();
  char path[64];
  std::snprintf(path, sizeof path, "/soak/%d/%d", thread, round);
  COMM_RMS_REGISTER_SERVER_INFO reg{};
  std::snprintf(reg.url, sizeof reg.url, "vnc:/%s", path);
  std::snprintf(reg.server_pathname, sizeof reg.server_pathname, "%s", path);
  COMM_RMS_SERVER_PATH_INFO name{};
  COMM_RMS_CONNECT_RESULT_INFO result{};
  std::snprintf(result.server_path_name, sizeof result.server_path_name, "%s", path);
  COMM_RMS_RFB_GET_STATUS_INFO rfb{};
  COMM_RMS_UNREGISTER_SERVER_INFO unreg{};
  std::snprintf(unreg.server_pathname, sizeof unreg.server_pathname, "%s", path);
  const std::pair<int, std::function<RETCODE()>> requests[] = {
      {3, [&] { return facade->register_server(reg); }},
      {1, [&] { return facade->get_server_path_name(name); }},
      {5, [&] { return facade->get_server_connect_result(result); }},
      {6, [&] { return facade->get_rfb_status(rfb); }},
      {4, [&] { return facade->unregister_server(unreg); }}};
  for (const auto& request : requests) {
    const auto begin = std::chrono::steady_clock::now();
    const RETCODE code = request.second();
    const auto took = std::chrono::steady_clock::now() - begin;
    const bool keyed = request.first != 1 && request.first != 6;
    out.push_back(
        {request.first, keyed ? path : "", code,
         static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count())});
  }
}

using answer = std::tuple<int, std::string, int32_t>;  // id, path (ids 3, 4, 5), reply word

// The replies the service incarnations logged: "request[N] id[I] ... path[P]
// ... -> 0xCODE name".
std::multiset<answer> answers_of(const std::vector<std::string>& logs) {
  std::multiset<answer> answers;
  for (const std::string& log : logs) {
    std::istringstream in(test_support::read_file(log));
    for (std::string line; std::getline(in, line);) {
      int id = 0;
      const size_t arrow = line.find(" -> 0x"), at = line.find(" path[");
      if (std::sscanf(line.c_str(), "request[%*d] id[%d]", &id) != 1 ||
          arrow == std::string::npos) {
        continue;
      }
      const bool keyed = (id == 3 || id == 4 || id == 5) && at != std::string::npos;
      answers.emplace(id, keyed ? line.substr(at + 6, line.find(']', at) - at - 6) : "",
                      static_cast<int32_t>(std::strtoul(line.c_str() + arrow + 6, nullptr, 16)));
    }
  }
  return answers;
}

struct tally {
  long calls = 0;
  long failures = 0;    // 1 or the channel-failure code
  long answered = 0;    // a reply word the service sent for this request
  long unanswered = 0;  // anything else: a result no service gave
  long slowest_ms = 0;
  std::map<int32_t, long> by_result;
};

tally account(const std::vector<call>& calls) {
  std::multiset<answer> answers = answers_of(service().logs());
  tally t;
  for (const call& c : calls) {
    ++t.calls;
    ++t.by_result[c.result];
    t.slowest_ms = std::max(t.slowest_ms, c.ms);
    if (c.result == 1 || c.result == BMC_MC_CHANNEL_FAILURE) {
      ++t.failures;
      continue;
    }
    auto it = answers.find(answer(c.msg_id, c.key, c.result));
    if (it == answers.end()) {
      ++t.unanswered;
    } else {
      answers.erase(it);
      ++t.answered;
    }
  }
  return t;
}

std::string results_text(const tally& t) {
  std::string text;
  for (const auto& r : t.by_result) {
    char item[48];
    std::snprintf(item, sizeof item, "%s%d:%ld", text.empty() ? "" : " ", r.first, r.second);
    text += item;
  }
  return text;
}

void expect_accounted(const tally& t) {
  EXPECT_EQ(t.unanswered, 0) << results_text(t);
  EXPECT_EQ(t.calls, t.failures + t.answered);
  EXPECT_LE(t.slowest_ms, documented_bound_ms());
}

// After a restart, one request leaves exactly one pooled connection, so
// descriptor counts taken this way compare exactly.
int settled_fd_count() {
  EXPECT_TRUE(service().restart());
  COMM_RMS_RFB_GET_STATUS_INFO info{};
  EXPECT_EQ(comm_rms_facade::get_instance()->get_rfb_status(info), 0);
  return test_support::open_fd_count();
}

// A full round of requests on a healthy service: everything succeeds.
void expect_healthy_round(int thread) {
  std::vector<call> calls;
  cycle(thread, 0, calls);
  for (const call& c : calls) EXPECT_EQ(c.result, 0) << "id " << c.msg_id;
}

// `threads` workers loop over the requests, `rounds` cycles each (with 0:
// until `drive` returns). They start together once `begin` has run, and live
// until `drive` has returned on this thread.
using driver = std::function<void(const std::atomic<int>& done)>;
std::vector<call> run_workers(int threads, int rounds, int first,
                              const std::function<void()>& begin, const driver& drive,
                              long* total_rounds = nullptr) {
  std::atomic<int> started{0}, done{0};
  std::atomic<bool> go{false}, over{false};
  std::vector<std::vector<call>> calls(threads);
  std::vector<long> counts(threads, 0);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      started.fetch_add(1, std::memory_order_release);
      while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
      for (int r = 0; rounds > 0 ? r < rounds : !over.load(std::memory_order_acquire); ++r) {
        cycle(first + t, r, calls[t]);
        ++counts[t];
      }
      done.fetch_add(1, std::memory_order_release);
      while (!over.load(std::memory_order_acquire)) std::this_thread::yield();
    });
  }
  while (started.load(std::memory_order_acquire) < threads) std::this_thread::yield();
  begin();
  go.store(true, std::memory_order_release);
  drive(done);
  over.store(true, std::memory_order_release);
  for (std::thread& w : workers) w.join();
  std::vector<call> all;
  for (int t = 0; t < threads; ++t) {
    all.insert(all.end(), calls[t].begin(), calls[t].end());
    EXPECT_GT(counts[t], 0) << "thread " << t;
    if (total_rounds != nullptr) *total_rounds += counts[t];
  }
  return all;
}

class service_faults : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!service().running()) {
      ASSERT_TRUE(service().start());
    }
    expect_healthy_round(900);  // creates the facade, the log store and its console
  }
  static void TearDownTestSuite() { service().kill(); }
};

TEST_F(service_faults, kills_and_stalls_during_requests_leave_every_call_accounted) {
  const int kills = setting("SOAK_KILLS", 6);
  const int stalls = setting("SOAK_STALLS", 3);
  const int threads = setting("SOAK_THREADS", 4);
  const unsigned seed =
      static_cast<unsigned>(setting("SOAK_SEED", static_cast<int>(time(nullptr))));
  std::mt19937 random(seed);
  const int fds_before = settled_fd_count();
  std::vector<bool> events(kills, true);
  events.insert(events.end(), stalls, false);
  std::shuffle(events.begin(), events.end(), random);
  long rounds = 0;
  const tally t = account(run_workers(
      threads, 0, 0, [] {},
      [&](const std::atomic<int>&) {
        for (bool kill : events) {
          pause_ms(std::uniform_int_distribution<int>(50, 400)(random));
          if (kill) {
            service().kill();
            pause_ms(std::uniform_int_distribution<int>(0, 300)(random));
            ASSERT_TRUE(service().start());
          } else {
            service().stall(kReplyTimeoutMs + std::uniform_int_distribution<int>(100, 500)(random));
          }
        }
        pause_ms(300);
      },
      &rounds));
  expect_healthy_round(901);
  const int fds_after = settled_fd_count();
  std::printf(
      "[ figures  ] faults: seed %u, %d threads, %ld rounds, %ld calls, %d kills, %d stalls: "
      "%ld answered, %ld failed (1 or %d), %ld unanswered; results {%s}; slowest %ld ms "
      "(bound %ld ms); descriptors %d before, %d after\n",
      seed, threads, rounds, t.calls, kills, stalls, t.answered, t.failures, BMC_MC_CHANNEL_FAILURE,
      t.unanswered, results_text(t).c_str(), t.slowest_ms, documented_bound_ms(), fds_before,
      fds_after);
  expect_accounted(t);
  EXPECT_EQ(fds_after, fds_before);
}

// Right after a ready answer the check trusts it without asking: a service
// that died meanwhile must then fail the request, never answer it with 0.
TEST_F(service_faults, a_service_dead_while_its_readiness_is_trusted_fails_the_request) {
  ASSERT_TRUE(service().restart());
  ASSERT_EQ(
      1, vantorel::bmc_mc_client::bmc_mc_check_facade(vantorel::service_protocol::facade_name, 0));
  service().kill();
  COMM_RMS_RFB_GET_STATUS_INFO info{};
  EXPECT_EQ(BMC_MC_CHANNEL_FAILURE, comm_rms_facade::get_instance()->get_rfb_status(info));
  ASSERT_TRUE(service().start());
  expect_healthy_round(903);
}

TEST_F(service_faults, a_low_descriptor_limit_fails_requests_cleanly_and_they_recover) {
  constexpr int kThreads = 4;
  const int fds_before = settled_fd_count();
  rlimit original{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
  // The limit holds only while the threads run their requests: the
  // sanitizers' runtime needs descriptors of its own to start and end one.
  // New descriptors take the lowest free numbers below the limit: room for
  // one more (those open above the lowest free one stay usable).
  int limit = -1;
  bool lowered = false, back = false;
  const tally t = account(run_workers(
      kThreads, 8, 200,
      [&] {
        const int lowest_free = open("/dev/null", O_RDONLY | O_CLOEXEC);
        limit = lowest_free + 1;
        rlimit low = original;
        low.rlim_cur = static_cast<rlim_t>(limit);
        lowered =
            lowest_free >= 0 && close(lowest_free) == 0 && setrlimit(RLIMIT_NOFILE, &low) == 0;
      },
      [&](const std::atomic<int>& done) {
        while (done.load(std::memory_order_acquire) < kThreads) std::this_thread::yield();
        back = setrlimit(RLIMIT_NOFILE, &original) == 0;
      }));
  ASSERT_TRUE(lowered);
  ASSERT_TRUE(back);
  expect_healthy_round(902);
  const int fds_after = settled_fd_count();
  std::printf(
      "[ figures  ] descriptor limit %d: %d threads, %ld calls: %ld answered, %ld failed; "
      "results {%s}; slowest %ld ms; descriptors %d before, %d after\n",
      limit, kThreads, t.calls, t.answered, t.failures, results_text(t).c_str(), t.slowest_ms,
      fds_before, fds_after);
  expect_accounted(t);
  EXPECT_EQ(fds_after, fds_before);
}

}  // namespace
