// OS wrapper and ring buffer of the host platform (the ring against a model
// of it: the fuzz target ring_buffer and its corpus).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "vantorel/host/host.h"
#include "vantorel/osw.h"
#include "vantorel/ring_buffer.h"

namespace {

using vantorel::put_lib_log_ring_buffer;

std::vector<unsigned char> bytes(const std::string& s) {
  return {s.begin(), s.end()};
}

int push(put_lib_log_ring_buffer& ring, const std::string& s) {
  return ring.push_data(const_cast<char*>(s.data()), static_cast<unsigned int>(s.size()));
}

TEST(RingBuffer, EvictsOldestFirstAndRefusesOversize) {
  put_lib_log_ring_buffer ring;
  ASSERT_EQ(0, ring.create_ring_buffer(20));  // 20 bytes of entries, headers apart
  EXPECT_EQ(0, push(ring, "aaaa"));
  EXPECT_EQ(0, push(ring, "bbbb"));
  EXPECT_EQ(0, push(ring, "cccc"));
  EXPECT_EQ(-1, push(ring, std::string(21, 'x')));  // larger than the capacity
  EXPECT_EQ(0, push(ring, std::string(20, 'y')));   // exactly the capacity: evicts everything
  std::vector<unsigned char> entry;
  ASSERT_EQ(0, ring.pop_data(entry));
  EXPECT_EQ(bytes(std::string(20, 'y')), entry);
  EXPECT_NE(0, ring.pop_data(entry));
  const auto c = vantorel::host::counters_of(ring);
  EXPECT_EQ(4u, c.pushed);
  EXPECT_EQ(3u, c.evicted);
  EXPECT_EQ(1u, c.refused);
  EXPECT_EQ(1u, c.popped);

  // Lines of trace length fill the store's whole 102400 bytes.
  put_lib_log_ring_buffer store;
  ASSERT_EQ(0, store.create_ring_buffer(102400));
  for (int i = 0; i < 1100; ++i) push(store, std::string(100, 'l'));
  EXPECT_EQ(1024u, vantorel::host::entry_count(store));
}

// The test runs under an unusual zone (TZ is set by the test's registration)
// so the per-second cache must give what localtime_r gives, also when a
// thread goes back and forth between seconds and across a change of offset.
TEST(LocalTime, CachedValueEqualsLocaltime) {
  const time_t base = 1793000000;  // late 2026
  const time_t times[] = {base,     base + 1, base, base - 86400 * 200, base - 86400 * 200,
                          base + 1, 0,        base};
  auto check = [&] {
    for (time_t t : times) {
      struct tm got {
      }, want{};
      ASSERT_EQ(0, emwCLBLocalTime_r(&t, &got));
      ASSERT_NE(nullptr, localtime_r(&t, &want));
      EXPECT_EQ(0, std::memcmp(&got, &want, offsetof(struct tm, tm_gmtoff))) << t;
      EXPECT_EQ(want.tm_gmtoff, got.tm_gmtoff) << t;
    }
  };
  check();
  std::thread other(check);
  other.join();
}

TEST(Mutex, BoundedRequestTimesOutWhileHeld) {
  OSW_Mutex_Semaphore mutex(1);
  ASSERT_EQ(0, mutex.request(OSW_WAIT_FOREVER));
  int rc = 0;
  std::thread other([&] { rc = mutex.request(20); });
  other.join();
  EXPECT_NE(0, rc);
  mutex.release();
}

// Four threads write lines of known shape through the trace output into a
// file; every line must come out whole.
TEST(Trace, LinesOfThreadsNeverInterleave) {
  const std::string dir = test_support::make_temp_dir("host_trace.");
  const int file = open((dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  const int saved = dup(STDERR_FILENO);
  dup2(file, STDERR_FILENO);
  close(file);
  auto body = [](int t) { return std::string(100 + 300 * t, static_cast<char>('a' + t)); };
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([t, &body] {
      for (int i = 0; i < 500; ++i)
        emwGENTrcPrintf(0x340E, 0x102, 1, "%d %s %d\n", t, body(t).c_str(), i);
    });
  }
  for (auto& w : writers) w.join();
  emwGENTrcPrintf(0, 0, 0, "no newline");
  emwGENTrcPrintf(0, 0, 0, "%s", std::string(5000, 'z').c_str());
  dup2(saved, STDERR_FILENO);
  close(saved);
  std::istringstream in(test_support::read_file(dir + "/stderr"));
  test_support::remove_tree(dir);
  std::vector<int> next(4, 0);
  std::string text;
  for (int n = 0; n < 2000 && std::getline(in, text); ++n) {
    const int t = text[0] - '0';
    ASSERT_TRUE(t >= 0 && t < 4) << text;
    ASSERT_EQ(text, std::to_string(t) + " " + body(t) + " " + std::to_string(next[t]++));
  }
  EXPECT_EQ(next, std::vector<int>(4, 500));
  const std::string rest = in.str().substr(static_cast<size_t>(in.tellg()));
  EXPECT_EQ(rest, "no newline\n" + std::string(2046, 'z') + "\n");  // cut at the line's limit
}

}  // namespace
