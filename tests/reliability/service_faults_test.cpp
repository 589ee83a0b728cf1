// Service faults: the simulator is killed, restarted and stalled while
// several threads loop over all five requests. The simulator answers every request with a code of
// its own per message id, so a call that comes back with anything but that
// code, 1 or the channel-failure code (above all a 0) read as success what
// no service answered. Every call must also end within the documented
// bound, and the client must not keep descriptors it no longer uses.
//
// SOAK_KILLS, SOAK_STALLS, SOAK_THREADS and SOAK_SEED override the defaults
// (scripts/soak.sh runs a longer soak through them).
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "comm_rms/comm_rms.h"
#include "comm_rms/service_protocol.h"
#include "test_support.h"
#include "vantorel/ipc.h"

namespace {

using vantorel::comm_rms_facade;

// Generous, so that a loaded machine does not time out a healthy reply.
constexpr int kReplyTimeoutMs = 1000;
// Every readiness check failing after its full wait (the smaller of the
// reply wait and 1 s), 300 ms between them, then one exchange.
constexpr long kBoundMs = 101 * 1000 + 100 * 300 + kReplyTimeoutMs;

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

void pause_ms(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The code the simulator answers to each message id (1, 3, 4, 5, 6).
int32_t forced_code(int msg_id) {
  return 0x100 + msg_id * 0x11;
}

test_support::process& service() {
  static auto* p = new test_support::process;  // outlives the tests; killed at their end
  return *p;
}

bool start_service() {
  std::vector<std::string> args;
  for (int id : {1, 3, 4, 5, 6}) {
    args.push_back("--force-code");
    args.push_back(std::to_string(id) + "=" + std::to_string(forced_code(id)));
  }
  static int incarnation = 0;
  return test_support::start_service(service(), COMM_RMS_SERVICE, environment.dir, args,
                                     "service-" + std::to_string(++incarnation));
}

struct tally {
  long calls = 0, answered = 0, failed = 0, unanswered = 0, slowest_ms = 0;
  void add(const tally& t) {
    calls += t.calls, answered += t.answered, failed += t.failed, unanswered += t.unanswered;
    slowest_ms = std::max(slowest_ms, t.slowest_ms);
  }
};

// All five requests, on a server path of their own.
void cycle(int thread, int round, tally& t) {
  comm_rms_facade* facade = comm_rms_facade::get_instance();
  const std::string path = "/soak/" + std::to_string(thread) + "/" + std::to_string(round);
  COMM_RMS_REGISTER_SERVER_INFO reg{};
  std::snprintf(reg.server_pathname, sizeof reg.server_pathname, "%s", path.c_str());
  COMM_RMS_SERVER_PATH_INFO name{};
  COMM_RMS_CONNECT_RESULT_INFO result{};
  std::snprintf(result.server_path_name, sizeof result.server_path_name, "%s", path.c_str());
  COMM_RMS_RFB_GET_STATUS_INFO rfb{};
  COMM_RMS_UNREGISTER_SERVER_INFO unreg{};
  std::snprintf(unreg.server_pathname, sizeof unreg.server_pathname, "%s", path.c_str());
  const std::pair<int, std::function<RETCODE()>> requests[] = {
      {3, [&] { return facade->register_server(reg); }},
      {1, [&] { return facade->get_server_path_name(name); }},
      {5, [&] { return facade->get_server_connect_result(result); }},
      {6, [&] { return facade->get_rfb_status(rfb); }},
      {4, [&] { return facade->unregister_server(unreg); }}};
  for (const auto& request : requests) {
    const auto begin = std::chrono::steady_clock::now();
    const RETCODE code = request.second();
    const long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - begin)
                                          .count());
    ++t.calls;
    t.slowest_ms = std::max(t.slowest_ms, ms);
    if (code == forced_code(request.first)) {
      ++t.answered;
    } else if (code == 1 || code == BMC_MC_CHANNEL_FAILURE) {
      ++t.failed;
    } else {
      ++t.unanswered;
      ADD_FAILURE() << "id " << request.first << " returned " << code;
    }
  }
}

// `threads` workers cycle until `drive` has returned.
tally run_workers(int threads, const std::function<void()>& drive) {
  std::atomic<bool> over{false};
  std::vector<tally> tallies(threads);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (int r = 0; !over; ++r) cycle(t, r, tallies[t]);
    });
  }
  drive();
  over = true;
  for (std::thread& w : workers) w.join();
  tally all;
  for (const tally& t : tallies) {
    EXPECT_GT(t.calls, 0);
    all.add(t);
  }
  return all;
}

// After a restart one request leaves exactly one pooled connection, so
// counts taken this way compare exactly (the log store and its console,
// made by the first stored line, are there from the start).
int settled_fd_count() {
  comm_rms_operation_log(1, 1, 1, "void settle()", "settle");
  service().kill_now();
  EXPECT_TRUE(start_service());
  COMM_RMS_RFB_GET_STATUS_INFO info{};
  EXPECT_EQ(forced_code(6), comm_rms_facade::get_instance()->get_rfb_status(info));
  return test_support::open_fd_count();
}

TEST(service_faults, kills_and_stalls_during_requests_leave_every_call_accounted) {
  const int kills = setting("SOAK_KILLS", 5), stalls = setting("SOAK_STALLS", 3);
  const unsigned seed =
      static_cast<unsigned>(setting("SOAK_SEED", static_cast<int>(time(nullptr))));
  std::printf("[ figures  ] seed %u\n", seed);
  std::mt19937 random(seed);
  const auto between = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  const int fds_before = settled_fd_count();
  std::vector<bool> events(kills, true);
  events.insert(events.end(), stalls, false);
  std::shuffle(events.begin(), events.end(), random);
  const tally t = run_workers(setting("SOAK_THREADS", 4), [&] {
    for (bool kill : events) {
      pause_ms(between(50, 400));
      if (kill) {
        service().kill_now();
        pause_ms(between(0, 300));
        ASSERT_TRUE(start_service());
      } else {
        service().signal(SIGSTOP);
        pause_ms(kReplyTimeoutMs + between(100, 500));
        service().signal(SIGCONT);
      }
    }
    pause_ms(300);
  });
  const int fds_after = settled_fd_count();
  std::printf(
      "[ figures  ] %ld calls, %ld answered, %ld failed, %ld unanswered; slowest %ld ms (bound "
      "%ld ms); descriptors %d before, %d after\n",
      t.calls, t.answered, t.failed, t.unanswered, t.slowest_ms, kBoundMs, fds_before, fds_after);
  EXPECT_EQ(0, t.unanswered);
  EXPECT_GT(t.answered, 0);
  EXPECT_GT(t.failed, 0);
  EXPECT_LE(t.slowest_ms, kBoundMs);
  EXPECT_EQ(fds_after, fds_before);
  service().kill_now();
}

// Right after a ready answer the check trusts it without asking: a service
// that died meanwhile must then fail the request, never answer it with 0.
TEST(service_faults, a_service_dead_while_its_readiness_is_trusted_fails_the_request) {
  service().kill_now();
  ASSERT_TRUE(start_service());
  ASSERT_EQ(
      1, vantorel::bmc_mc_client::bmc_mc_check_facade(vantorel::service_protocol::facade_name, 0));
  service().kill_now();
  COMM_RMS_RFB_GET_STATUS_INFO info{};
  EXPECT_EQ(BMC_MC_CHANNEL_FAILURE, comm_rms_facade::get_instance()->get_rfb_status(info));
}

}  // namespace
