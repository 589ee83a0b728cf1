// The log store: one store however many threads race to create it, and
// pushes that lock only when they store something.
#include <new>
#include <thread>

#include "comm_rms/debug_dump.h"
#include "fake_platform.h"
#include "fresh_process.h"
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
  EXPECT_EQ(fake::registrations()[0].name, vantorel::debug_dump::receiver_name);
  const int requests = fake::calls().mutex_requests.load();
  EXPECT_EQ(comm_rms_ucom_log::get_instance(), seen[0]);
  EXPECT_EQ(fake::calls().mutex_requests.load(), requests);  // no lock once it exists
}

void throw_at_registration() {
  fake::reset();
  fake::fail_next_registration();
  EXPECT_THROW(comm_rms_ucom_log::get_instance(), std::bad_alloc);
  ASSERT_NE(comm_rms_ucom_log::get_instance(), nullptr);
  EXPECT_EQ(fake::registrations().size(), 1u);
  EXPECT_EQ(vantorel::host::ucom_deliver(vantorel::debug_dump::receiver_name, "x"), 0);
  EXPECT_EQ(fake::calls().thread_guards.load(), 1);  // the creation mutex outlived the throw
}

TEST(LogStore, RacingFirstCallsCreateOneStore) {
  IN_FRESH_PROCESS(racing_creation());
}

TEST(LogStore, CreationThatThrowsIsTriedAgain) {
  IN_FRESH_PROCESS(throw_at_registration());
}

TEST(LogStore, EmptyPushesTakeNoLock) {
  fake::reset();
  comm_rms_ucom_log store(1024);
  const int requests = fake::calls().mutex_requests.load();
  store.push_log(nullptr, 5);
  store.push_log("x", 0);
  EXPECT_EQ(fake::calls().mutex_requests.load(), requests);
  EXPECT_EQ(store.with_ring(vantorel::host::counters_of).pushed, 0u);
}

}  // namespace
