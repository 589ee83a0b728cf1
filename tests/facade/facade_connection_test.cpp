// Creation of the facade, the client lookup and the readiness check. Each
// scenario runs in a fresh process; the parent never creates the facade.
#include <gtest/gtest.h>

#include <thread>
#include <tuple>

#include "facade_test_util.h"
#include "fresh_process.h"

using namespace facade_test;
using vantorel::comm_rms_facade;

namespace {

const char kRetry[] = "[ INF][0509] comm_rms_facade::is_check_facade\tcheck server - retry is ";
const char kOver[] = "[@ERR][0505] comm_rms_facade::is_check_facade\tcheck server - retry is over.";

RETCODE rfb_status() {
  COMM_RMS_RFB_GET_STATUS_INFO info{};
  return comm_rms_facade::get_instance()->get_rfb_status(info);
}

void racing_threads_share_one_facade() {
  comm_rms_facade* seen[2] = {nullptr, nullptr};
  std::thread a([&] { seen[0] = comm_rms_facade::get_instance(); });
  std::thread b([&] { seen[1] = comm_rms_facade::get_instance(); });
  a.join();
  b.join();
  EXPECT_TRUE(seen[0] != nullptr && seen[0] == seen[1]);
  EXPECT_EQ(fake::calls().get_client_calls.load(), 1);  // one facade, one lookup
}

void client_missing_at_creation() {
  fake::set_client_available(false);
  EXPECT_EQ(comm_rms_initial(), 0);
  EXPECT_EQ(comm_rms_initial(), 0);
  EXPECT_EQ(stored_lines(), lines{"[@ERR][0462] comm_rms_facade::initial\tmc_client_ is null."});
  ASSERT_EQ(fake::trace_lines().size(), 1u);
  const fake::trace_line printed = fake::trace_lines()[0];
  EXPECT_EQ(printed.text, "[@ERR] comm_rms_facade::initial\tmc_client_ is null.\n");
  EXPECT_EQ(std::make_tuple(printed.kind, printed.module, printed.category),
            std::make_tuple(0, 0x340Eu, 0x102u));

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
  EXPECT_EQ(fake::calls().get_client_calls.load(), 3);
  EXPECT_EQ(fake::sent_messages().size(), 2u);
}

// One check, then at most 100 retries 300 ms apart; any answer but 1 is
// "not ready", also one whose low 32 bits are 1.
void readiness_retries_at_most_hundred_times() {
  const long wide_one = sizeof(long) > 4 ? static_cast<long>(0x100000001LL) : 2;
  for (long answer : {1L, 101L, 0L, 7L, -1L, wide_one}) {
    fake::reset();
    if (answer == 101) fake::ready_at_check(101);
    if (answer != 1 && answer != 101) fake::never_ready(answer);
    const bool ready = answer == 1 || answer == 101;
    EXPECT_EQ(rfb_status(), ready ? 0 : 1) << answer;
    const int retries = answer == 1 ? 0 : 100;
    EXPECT_EQ(fake::calls().check_calls.load(), retries + 1);
    EXPECT_EQ(fake::sleep_arguments(), std::vector<unsigned long>(retries, 300));
    lines expected;
    for (int n = 1; n <= retries; ++n) expected.push_back(kRetry + std::to_string(n) + " times.");
    if (!ready) expected.push_back(kOver);
    EXPECT_EQ(stored_lines(), expected);
    EXPECT_EQ(fake::trace_lines().size(), ready ? 0u : 1u);
    EXPECT_EQ(fake::sent_messages().size(), ready ? 1u : 0u);
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
