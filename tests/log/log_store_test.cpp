// The log store: one store however many threads race to create it, a console
// that never keeps a store that is gone, and pushes that lock only when they
// store something.
#include <new>
#include <thread>

#include "fake_platform.h"
#include "fresh_process.h"
#include "log/comm_rms_ucom_log.h"
#include "log_test_util.h"

namespace {

using vantorel::comm_rms_ucom_log;

void racing_creation() {
  fake::reset();
  comm_rms_ucom_log* seen[2] = {nullptr, nullptr};
  std::thread a([&] { seen[0] = comm_rms_ucom_log::get_instance(); });
  std::thread b([&] { seen[1] = comm_rms_ucom_log::get_instance(); });
  a.join();
  b.join();
  EXPECT_NE(seen[0], nullptr);
  EXPECT_EQ(seen[0], seen[1]);
  ASSERT_EQ(fake::registrations().size(), 1u);
  EXPECT_EQ(fake::registrations()[0].name, "commRMS");
  EXPECT_EQ(fake::calls().registrations.load(), 1);

  const int requests = fake::calls().mutex_requests.load();
  EXPECT_EQ(comm_rms_ucom_log::get_instance(), seen[0]);
  EXPECT_EQ(fake::calls().mutex_requests.load(), requests);
}

TEST(LogStore, RacingFirstCallsCreateOneStore) {
  log_test::fresh_children();
  IN_FRESH_PROCESS(racing_creation());
}

TEST(LogStore, ThrowAtRegistrationLeavesNoStoreAndRetries) {
  log_test::fresh_children();
  IN_FRESH_PROCESS({
    fake::reset();
    fake::fail_next_registration();
    EXPECT_THROW(comm_rms_ucom_log::get_instance(), std::bad_alloc);
    EXPECT_TRUE(fake::registrations().empty());
    comm_rms_ucom_log* store = comm_rms_ucom_log::get_instance();
    ASSERT_NE(store, nullptr);
    ASSERT_EQ(fake::registrations().size(), 1u);
    // The console reaches the store that now exists.
    EXPECT_EQ(vantorel::UCOM_UsrCommandManager::ucom_instance()->ucom_deliver("commRMS", "hello"),
              0);
    // The creation mutex was made once, by the first attempt.
    EXPECT_EQ(fake::calls().thread_guards.load(), 1);
  });
}

TEST(LogStore, NullOrEmptyPushTakesNoLock) {
  fake::reset();
  comm_rms_ucom_log store(1024);
  const auto before = store.ring_counters();
  const int requests = fake::calls().mutex_requests.load();
  store.push_log(nullptr, 5);
  store.push_log("x", 0);
  EXPECT_EQ(fake::calls().mutex_requests.load(), requests);
  EXPECT_EQ(store.ring_counters().pushed, before.pushed);
  EXPECT_EQ(store.ring_counters().refused, before.refused);
}

TEST(LogStore, DestroyedStoreIsWithdrawnFromConsole) {
  fake::reset();
  {
    comm_rms_ucom_log store(1024);
    ASSERT_EQ(fake::registrations().size(), 1u);
  }
  EXPECT_TRUE(fake::registrations().empty());
}

TEST(LogStore, CapacityBoundsWhatTheBufferHolds) {
  fake::reset();
  comm_rms_ucom_log store(64);
  char line[40] = "0123456789012345678901234567890123456";
  for (int i = 0; i < 3; ++i) store.push_log(line, sizeof line);
  const auto counters = store.ring_counters();
  EXPECT_EQ(counters.pushed, 3u);
  EXPECT_EQ(counters.evicted, 2u);
  std::vector<unsigned char> entry;
  ASSERT_EQ(store.pop_log(entry), 0);
  EXPECT_EQ(std::string(entry.begin(), entry.end()), std::string(line, sizeof line));
  EXPECT_NE(store.pop_log(entry), 0);
}

}  // namespace
