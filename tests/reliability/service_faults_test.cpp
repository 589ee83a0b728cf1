// Service faults: the simulator is killed, restarted and stalled while
// several threads loop over all five requests. The simulator answers every
// request with a code of its own per message id, so a call that comes back
// with anything but that code, 1 or the channel-failure code (above all a 0)
// read as success what no service answered. The client must not keep
// descriptors it no longer uses, and a service killed and back within a
// second answers the request made right after the kill (readiness asks, and
// the library's check waits).
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
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "comm_rms/comm_rms.h"
#include "test_support.h"

namespace {

using vantorel::comm_rms_facade;

// Generous, so that a loaded machine does not time out a healthy reply; set
// before the first request, which reads it.
constexpr int kReplyTimeoutMs = 1000;
const bool reply_wait_set =
    setenv("VANTOREL_REPLY_TIMEOUT_MS", std::to_string(kReplyTimeoutMs).c_str(), 1) == 0;
const test_support::run_dir the_run_dir;
test_support::process service;  // killed at exit by its destructor

const auto setting = [](const char* name, int fallback) {
  return std::getenv(name) && *std::getenv(name) ? std::atoi(std::getenv(name)) : fallback;
};
const auto pause_ms = [](long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
// The code the simulator answers to each message id (1, 3, 4, 5, 6).
const auto forced_code = [](int msg_id) { return 0x100 + msg_id * 0x11; };

bool start_service() {
  static int incarnation = 0;
  std::vector<std::string> args;
  for (int id : {1, 3, 4, 5, 6})
    args.push_back("--force-code=" + std::to_string(id) + "=" + std::to_string(forced_code(id)));
  service.kill_now();
  return test_support::start_service(service, COMM_RMS_SERVICE, the_run_dir, args,
                                     "service-" + std::to_string(++incarnation));
}

const auto rfb_status = [](COMM_RMS_RFB_GET_STATUS_INFO info = {}) {
  return comm_rms_facade::get_instance()->get_rfb_status(info);
};

std::atomic<long> calls{0}, answered{0}, failed{0};  // counts of all workers

// All five requests (the forced codes answer them whatever they carry).
void cycle() {
  comm_rms_facade* facade = comm_rms_facade::get_instance();
  COMM_RMS_SERVER_PATH_INFO name{};
  COMM_RMS_CONNECT_RESULT_INFO result{};
  for (const auto& [id, code] : {std::pair<int, RETCODE>{3, facade->register_server({})},
                                 {1, facade->get_server_path_name(name)},
                                 {5, facade->get_server_connect_result(result)},
                                 {6, rfb_status()},
                                 {4, facade->unregister_server({})}}) {
    ++calls;
    answered += code == forced_code(id);
    failed += code == 1 || code == BMC_MC_CHANNEL_FAILURE;
  }
}

// After a restart one request leaves the client as it settles, so counts
// taken this way compare exactly (the log store and its console, made by
// the first stored line, are there from the start).
int settled_fd_count() {
  comm_rms_operation_log(1, 1, 1, "void settle()", "settle");
  EXPECT_TRUE(start_service());
  EXPECT_EQ(forced_code(6), rfb_status());
  return test_support::open_fd_count();
}

TEST(service_faults, kills_and_stalls_during_requests_leave_every_call_accounted) {
  const unsigned seed = setting("SOAK_SEED", static_cast<int>(time(nullptr)));
  std::printf("[ figures  ] seed %u\n", seed);
  std::mt19937 random(seed);
  const int fds_before = settled_fd_count();
  service.kill_now();
  std::thread restart([] { EXPECT_TRUE((pause_ms(400), start_service())); });
  EXPECT_EQ(forced_code(6), rfb_status());
  restart.join();
  std::vector<bool> kills(setting("SOAK_KILLS", 5), true);  // then stalls, shuffled
  kills.insert(kills.end(), setting("SOAK_STALLS", 3), false);
  std::shuffle(kills.begin(), kills.end(), random);
  std::atomic<bool> over{false};
  std::vector<std::thread> workers(setting("SOAK_THREADS", 4));
  for (std::thread& w : workers)
    w = std::thread([&over] {
      while (!over) cycle();
    });
  for (bool kill : kills) {
    pause_ms(50 + random() % 351);
    service.signal(kill ? SIGKILL : SIGSTOP);
    pause_ms(kill ? random() % 301 : kReplyTimeoutMs + 100 + random() % 401);
    EXPECT_TRUE(!kill || start_service());
    if (!kill) service.signal(SIGCONT);
  }
  pause_ms(300);
  over = true;
  for (std::thread& w : workers) w.join();
  const int fds_after = settled_fd_count();
  std::printf("[ figures  ] %ld calls, %ld answered, %ld failed; descriptors %d before, %d after\n",
              calls.load(), answered.load(), failed.load(), fds_before, fds_after);
  EXPECT_EQ(calls, answered + failed);      // nothing else, above all no 0
  EXPECT_TRUE(answered > 0 && failed > 0);  // both happened
  EXPECT_EQ(fds_after, fds_before);
}

}  // namespace
