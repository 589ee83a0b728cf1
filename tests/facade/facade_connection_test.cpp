// Creation of the facade, the client lookup and the readiness check. Each
// scenario runs in a fresh process; the parent never creates the facade.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "facade_test_util.h"
#include "fresh_process.h"

using namespace facade_test;
using vantorel::comm_rms_facade;

namespace {

lines retry_lines(bool over) {
  lines expected;
  for (int n = 1; n <= 100; ++n) {
    expected.push_back("[ INF][0509] comm_rms_facade::is_check_facade\tcheck server - retry is " +
                       std::to_string(n) + " times.");
  }
  if (over)
    expected.push_back(
        "[@ERR][0505] comm_rms_facade::is_check_facade\tcheck server - retry is over.");
  return expected;
}

RETCODE rfb_status() {
  COMM_RMS_RFB_GET_STATUS_INFO info{};
  return comm_rms_facade::get_instance()->get_rfb_status(info);
}

void racing_threads_share_one_facade() {
  fake::reset();
  std::atomic<bool> go{false};
  comm_rms_facade* seen[2] = {nullptr, nullptr};
  auto racer = [&](int i) {
    while (!go.load()) {
    }
    seen[i] = comm_rms_facade::get_instance();
  };
  std::thread a(racer, 0), b(racer, 1);
  go = true;
  a.join();
  b.join();
  EXPECT_TRUE(seen[0] != nullptr && seen[0] == seen[1]);
  EXPECT_EQ(fake::calls().get_client_calls.load(), 1);  // one facade, one lookup
  const int locks = fake::calls().mutex_requests.load();
  EXPECT_EQ(comm_rms_facade::get_instance(), seen[0]);
  EXPECT_EQ(fake::calls().mutex_requests.load(), locks);
}

void client_missing_at_creation() {
  fake::reset();
  fake::set_client_available(false);
  EXPECT_EQ(comm_rms_initial(), 0);
  EXPECT_EQ(comm_rms_initial(), 0);
  EXPECT_EQ(stored_lines(), lines{"[@ERR][0462] comm_rms_facade::initial\tmc_client_ is null."});
  ASSERT_EQ(fake::trace_lines().size(), 1u);
  EXPECT_EQ(fake::trace_lines()[0].text, "[@ERR] comm_rms_facade::initial\tmc_client_ is null.\n");
  EXPECT_EQ(fake::trace_lines()[0].kind, 0);
  EXPECT_EQ(fake::trace_lines()[0].module, 0x340Eu);
  EXPECT_EQ(fake::trace_lines()[0].category, 0x102u);

  fake::never_ready();  // a failing check looks nothing up
  EXPECT_EQ(rfb_status(), 1);
  EXPECT_EQ(fake::calls().get_client_calls.load(), 1);
  fake::ready_at_check(1);  // a ready one does, and still finds none
  stored_lines();
  EXPECT_EQ(comm_rms_facade::get_instance()->register_server(COMM_RMS_REGISTER_SERVER_INFO{}), 1);
  EXPECT_EQ(stored_lines(),
            (lines{"[@ERR][0522] comm_rms_facade::is_check_facade\tmc_client_ is null.",
                   "[@ERR][0209] comm_rms_facade::register_server\tmc_client_ is null."}));
  EXPECT_EQ(history().find("[ID:"), std::string::npos);
  EXPECT_TRUE(fake::sent_messages().empty());

  fake::set_client_available(true);  // found once, never looked up again
  EXPECT_EQ(rfb_status(), 0);
  EXPECT_EQ(rfb_status(), 0);
  EXPECT_EQ(comm_rms_initial(), 0);
  EXPECT_EQ(fake::calls().get_client_calls.load(), 3);
  EXPECT_EQ(fake::sent_messages().size(), 2u);
}

void readiness_retries_at_most_hundred_times() {
  fake::reset();
  EXPECT_EQ(rfb_status(), 0);
  EXPECT_EQ(fake::calls().check_calls.load(), 1);
  EXPECT_TRUE(fake::sleep_arguments().empty());
  EXPECT_TRUE(stored_lines().empty());

  fake::reset();
  fake::ready_at_check(101);
  EXPECT_EQ(rfb_status(), 0);
  EXPECT_EQ(fake::sleep_arguments(), std::vector<unsigned long>(100, 300));
  EXPECT_EQ(stored_lines(), retry_lines(false));
  EXPECT_EQ(fake::sent_messages().size(), 1u);

  // Any answer but 1 is "not ready", also one whose low 32 bits are 1.
  for (long answer : {0L, 7L, -1L, static_cast<long>(sizeof(long) > 4 ? 0x100000001LL : 2)}) {
    fake::reset();
    fake::never_ready(answer);
    EXPECT_EQ(rfb_status(), 1) << answer;
    EXPECT_EQ(fake::calls().check_calls.load(), 101);
    EXPECT_EQ(fake::sleep_arguments().size(), 100u);
    EXPECT_EQ(stored_lines(), retry_lines(true));
    EXPECT_EQ(fake::trace_lines().size(), 1u);
    EXPECT_TRUE(fake::sent_messages().empty());
  }
}

}  // namespace

TEST(FacadeConnection, RacingThreadsShareOneFacade) {
  for (int round = 0; round < 4; ++round) IN_FRESH_PROCESS(racing_threads_share_one_facade());
}

TEST(FacadeConnection, ClientMissingAtCreationIsLookedUpAfterReadyCheck) {
  IN_FRESH_PROCESS(client_missing_at_creation());
}

TEST(FacadeConnection, ReadinessRetriesAtMostHundredTimes) {
  IN_FRESH_PROCESS(readiness_retries_at_most_hundred_times());
}
