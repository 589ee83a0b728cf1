// Memory of the connection history, which grows by one record per register
// request for the life of the process: the heap growth per record, measured
// with the allocator's own statistics, stays close to the record's size
// (no hidden allocation per record, nothing kept beside it).
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdio>

#include "log/connection_history.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kOwnAllocator = false;  // the sanitizers' allocator keeps no such statistics
#else
constexpr bool kOwnAllocator = true;
#endif

constexpr int kRecords = 10000;

size_t heap_in_use() {
  return mallinfo2().uordblks;
}

TEST(history_memory, growth_per_record_stays_close_to_the_record_size) {
  if (!kOwnAllocator) GTEST_SKIP() << "heap statistics unavailable under a sanitizer";
  vantorel::connection_history history;
  COMM_RMS_REGISTER_SERVER_INFO info{};
  std::snprintf(info.url, sizeof info.url, "vnc://192.0.2.1:5900");
  std::snprintf(info.server_pathname, sizeof info.server_pathname, "/remote/panel/0");
  COMM_RMS_UNREGISTER_SERVER_INFO unreg{};
  std::snprintf(unreg.server_pathname, sizeof unreg.server_pathname, "/remote/panel/0");
  history.append(info, 0);  // the first record brings the container's own setup

  const size_t before = heap_in_use();
  for (int i = 0; i < kRecords; ++i) {
    history.append(info, 0);
    history.complete(unreg, 0);  // completing a record must not allocate
  }
  const size_t after = heap_in_use();
  const double per_record = static_cast<double>(after - before) / kRecords;
  const size_t record = sizeof(vantorel::COMM_RMS_CONNECT_INFO_LOG);
  std::printf(
      "[ figures  ] history memory (%zu-bit): record %zu bytes, heap growth %.1f bytes per "
      "record over %d records (%zu bytes)\n",
      sizeof(void*) * 8, record, per_record, kRecords, after - before);
  EXPECT_GE(per_record, static_cast<double>(record));
  // The allocator's header and the container's index, not a second copy.
  EXPECT_LE(per_record, static_cast<double>(record) * 1.1 + 32);
}

}  // namespace
