// The trace path and the process's locks under load: threads tracing while
// another dumps again and again, and fork() while the locks are busy.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "comm_rms/comm_rms.h"
#include "history_text.h"
#include "log/comm_rms_ucom_log.h"
#include "test_support.h"
#include "vantorel/host/host.h"

namespace {

constexpr int kThreads = 8;
constexpr long kLines = 20000;  // per thread
constexpr const char* kFunction = "void reliability::load::trace(int, long)";
constexpr const char* kLineMiddle = "] [ INF][0042] load::trace\t";

// The console socket lives in a run directory private to this executable.
const test_support::run_dir the_run_dir;

// Lines differ in length (the padding follows the number), so a line torn
// or spliced from two others does not read back as a valid one.
std::string message_for(int thread, long seq) {
  return "thread[" + std::to_string(thread) + "] seq[" + std::to_string(seq) + "] pad[" +
         std::string(static_cast<size_t>(seq % 41), 'x') + "]";
}

// The thread of a stored line ("[time][thread]" of 39 characters or more,
// kLineMiddle, the message), its number in `seq`; -1 when it is not one.
int parse_line(std::string line, long* seq) {
  const size_t middle = line.find(kLineMiddle);
  int thread = -1;
  if (line[0] != '[' || middle < 39 || middle == std::string::npos) return -1;
  line.erase(0, middle + std::strlen(kLineMiddle));
  if (std::sscanf(line.c_str(), "thread[%d] seq[%ld]", &thread, seq) != 2) return -1;
  return thread >= 0 && thread < kThreads && line == message_for(thread, *seq) ? thread : -1;
}

// Dumps go through the console into the fixed dump file (private /tmp).
int dump() {
  return vantorel::host::ucom_deliver(vantorel::debug_dump::receiver_name,
                                      vantorel::debug_dump::command);
}

// Threads trace numbered lines through the formatter (the 102400-byte ring
// overflows many times), one of them recording history too, while this one dumps
// again and again: every dump holds whole history records, then
// whole lines, each thread's in order, within the file's size bound.
TEST(load, tracing_threads_with_a_dumping_thread_never_tear_a_line) {
  test_support::fixed_dump_dir guard;
  REQUIRE_FIXED_DUMP_DIR(guard);
  vantorel::comm_rms_ucom_log::get_instance();  // registered with the console
  std::vector<long> last_seq(kThreads, -1);
  long lines = 0, bad = 0;
  std::atomic<long> dumps{0};
  std::atomic<int> writers_left{kThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, &writers_left, &dumps] {
      for (long seq = 0; seq < kLines; ++seq) {
        // Every 500 lines, wait for the next dump, so dumps fall all along
        // the tracing instead of after a burst that is over at once.
        for (const long seen = dumps.load(); seq % 500 == 0 && dumps.load() == seen;)
          std::this_thread::yield();
        comm_rms_operation_log(1, 1, 42, kFunction, "%s", message_for(t, seq).c_str());
        if (t == 0 && seq % 500 == 100) comm_rms_register_server_log({}, 0);
        if (t == 0 && seq % 500 == 300) comm_rms_unregister_server_log({}, 0);
      }
      --writers_left;
    });
  while (writers_left > 0) {
    bad += dump() != 0;
    const std::string text = test_support::read_file(vantorel::debug_dump::path);
    const size_t log = text.find(history_text::operation_log());
    ++dumps;
    // The heading, then whole records of 16 lines, then whole lines.
    if (text.size() > vantorel::debug_dump::size_limit + 1 ||
        text.rfind(history_text::section(), 0) != 0 || log == std::string::npos ||
        std::count(text.begin(), text.begin() + static_cast<long>(log), '\n') % 16 != 3) {
      ++bad;
      continue;
    }
    std::istringstream in(text.substr(log + history_text::operation_log().size()));
    for (std::string line; std::getline(in, line); ++lines) {
      long seq = -1;
      const int thread = parse_line(line, &seq);
      bad += thread < 0 || seq <= last_seq[thread];
      if (thread >= 0) last_seq[thread] = seq;
    }
  }
  for (std::thread& t : threads) t.join();
  std::printf("[ figures  ] %ld traced, %ld dumps, %ld lines dumped, %ld bad dumps or lines\n",
              kThreads * kLines, dumps.load(), lines, bad);
  EXPECT_EQ(0, bad);
  EXPECT_TRUE(dumps > 1 && lines > 0);
}

// A program that dlcloses the library after tracing: the console keeps the
// store registered, and a command delivered later still finds its code.
TEST(unload, console_command_after_dlclose_finds_the_store) {
  IN_FRESH_PROCESS({
    void* library = dlopen(COMM_RMS_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    reinterpret_cast<decltype(&comm_rms_operation_log)>(dlsym(library, "comm_rms_operation_log"))(
        1, 1, 42, kFunction, "%s", "before dlclose");
    ASSERT_EQ(dlclose(library), 0);
    EXPECT_EQ(vantorel::host::ucom_deliver(vantorel::debug_dump::receiver_name, "BOGUS"), 0);
  });
}

// fork() while another thread traces, records, dumps and asks the channel:
// no lock of the library or the platform may be inherited held, so every
// child traces, records, dumps and asks too, and ends.
TEST(load, children_forked_while_every_lock_is_busy_never_hang) {
  test_support::fixed_dump_dir guard;
  REQUIRE_FIXED_DUMP_DIR(guard);
  // Under an emulator a child beside a busy thread can hang there.
  if (COMM_RMS_TEST_EMULATOR[0] != '\0') GTEST_SKIP() << "under " COMM_RMS_TEST_EMULATOR;
  const auto use_every_lock = [](long i) {
    comm_rms_operation_log(1, 1, 42, kFunction, "%s", message_for(0, i).c_str());
    if (i % 64 == 0) comm_rms_register_server_log(COMM_RMS_REGISTER_SERVER_INFO{}, 0);
    vantorel::bmc_mc_client::bmc_mc_check_facade("nobody_serves_this", 0);
    if (i % 16 == 0) dump();
  };
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    for (long i = 0; !stop; ++i) use_every_lock(i);
  });
  int hung = 0;
  for (int forks = 0; forks < 300 && hung == 0; ++forks)
    hung += test_support::in_child([&] { return use_every_lock(0), 0; }) != 0;
  stop = true;
  busy.join();
  EXPECT_EQ(0, hung);
}

}  // namespace
