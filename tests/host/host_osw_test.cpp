// OS wrapper and ring buffer of the host platform (the ring against a model
// of it: the fuzz target ring_buffer and its corpus).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>

#include "test_support.h"
#include "vantorel/host/host.h"
#include "vantorel/osw.h"
#include "vantorel/ring_buffer.h"

namespace {

using vantorel::put_lib_log_ring_buffer;

int push(put_lib_log_ring_buffer& ring, const std::string& s) {
  return ring.push_data(const_cast<char*>(s.data()), static_cast<unsigned int>(s.size()));
}

TEST(RingBuffer, EvictsOldestFirstAndRefusesOversize) {
  put_lib_log_ring_buffer ring;
  ASSERT_EQ(0, ring.create_ring_buffer(20));  // 20 bytes of entries, headers apart
  for (const char* s : {"aaaa", "bbbb", "cccc"}) EXPECT_EQ(0, push(ring, s));
  EXPECT_EQ(-1, push(ring, std::string(21, 'x')));  // larger than the capacity
  EXPECT_EQ(0, push(ring, std::string(20, 'y')));   // exactly the capacity: evicts everything
  std::vector<unsigned char> entry;
  ASSERT_EQ(0, ring.pop_data(entry));
  EXPECT_EQ(std::string(20, 'y'), std::string(entry.begin(), entry.end()));
  EXPECT_NE(0, ring.pop_data(entry));
  const auto c = vantorel::host::counters_of(ring);
  EXPECT_EQ((std::vector<uint64_t>{4, 3, 1, 1}),
            (std::vector<uint64_t>{c.pushed, c.evicted, c.refused, c.popped}));
  // The store's whole 102400 bytes hold entries of trace length, and of 32
  // bytes too: their headers have room of their own.
  const unsigned kSizePushesKept[][3] = {{100, 1100, 1024}, {32, 3300, 3200}};
  for (const auto& k : kSizePushesKept) {
    put_lib_log_ring_buffer store;
    ASSERT_EQ(0, store.create_ring_buffer(102400));
    for (unsigned i = 0; i < k[1]; ++i) push(store, std::string(k[0], 'l'));
    EXPECT_EQ(k[2], vantorel::host::entry_count(store));
  }
}

// A bounded wait on a held lock lasts its bound (999 ms: its deadline
// almost always carries into the next second).
TEST(Mutex, BoundedRequestWaitsItsBoundWhileHeld) {
  OSW_Mutex_Semaphore mutex(1);
  ASSERT_EQ(0, mutex.request(OSW_WAIT_FOREVER));
  const auto begin = std::chrono::steady_clock::now();
  int rc = 0;
  std::thread([&] { rc = mutex.request(999); }).join();
  EXPECT_NE(0, rc);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(950));
  mutex.release();
}

// Threads write lines of different lengths through the trace output into a
// file; every line must come out whole, and an overlong one cut with its newline.
TEST(Trace, LinesOfThreadsNeverInterleave) {
  const std::string dir = test_support::make_temp_dir("host_trace.");
  const int file = open((dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int saved = dup(STDERR_FILENO);
  dup2(file, STDERR_FILENO);
  close(file);
  const auto body = [](int t) { return std::string(100 + 600 * t, static_cast<char>('a' + t)); };
  std::thread writers[3];
  for (int t = 0; t < 3; ++t) {
    writers[t] = std::thread([t, &body] {
      for (int i = 0; i < 300; ++i) emwGENTrcPrintf(0x340E, 0x102, 1, "%s\n", body(t).c_str());
    });
  }
  for (auto& w : writers) w.join();
  emwGENTrcPrintf(0, 0, 0, "%s", std::string(2047, 'y').c_str());
  emwGENTrcPrintf(0, 0, 0, "%s", std::string(5000, 'z').c_str());
  dup2(saved, STDERR_FILENO);
  close(saved);
  std::istringstream in(test_support::read_file(dir + "/stderr"));
  test_support::remove_tree(dir);
  int lines[3] = {};
  std::string text;
  for (int n = 0; n < 900 && std::getline(in, text); ++n) {
    const int t = text[0] - 'a';
    ASSERT_TRUE(t >= 0 && t < 3 && text == body(t)) << text.substr(0, 20);
    ++lines[t];
  }
  EXPECT_EQ(lines[0] + lines[1] + lines[2], 900);
  // Cut at the line's limit, also one past it.
  for (const char c : {'y', 'z'})
    EXPECT_EQ(std::getline(in, text) ? text : "", std::string(2046, c));
}

}  // namespace
