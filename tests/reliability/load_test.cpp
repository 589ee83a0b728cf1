// The trace path and the process's locks under load: threads tracing while
// another dumps again and again, and fork() while the locks are busy.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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
#include "vantorel/ipc.h"

namespace {

using vantorel::comm_rms_ucom_log;

constexpr int kThreads = 8;
constexpr long kLines = 20000;  // per thread
constexpr size_t kDumpFileLimit = 102400;
constexpr const char* kFunction = "void reliability::load::trace(int, long)";
constexpr const char* kLineMiddle = "] [ INF][0042] load::trace\t";

// The console socket lives in a run directory private to this executable.
const test_support::run_dir the_run_dir;

// Lines differ in length (the padding follows the number), so a line torn
// or spliced from two others does not read back as a valid one.
std::string message_for(int thread, long seq) {
  char text[128];
  std::snprintf(text, sizeof text, "thread[%d] seq[%ld] pad[%.*s]", thread, seq,
                static_cast<int>(seq % 41), "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx");
  return text;
}

// A stored line: "[time][thread]" (39 characters or more), kLineMiddle, message.
bool parse_line(std::string line, int* thread, long* seq) {
  const size_t middle = line.find(kLineMiddle);
  if (line.compare(0, 1, "[") != 0 || middle < 39 || middle == std::string::npos) return false;
  line.erase(0, middle + std::strlen(kLineMiddle));
  return std::sscanf(line.c_str(), "thread[%d] seq[%ld]", thread, seq) == 2 && *thread >= 0 &&
         *thread < kThreads && line == message_for(*thread, *seq);
}

class load : public ::testing::Test {
 protected:
  void TearDown() override { test_support::remove_tree(dir_); }
  const std::string dir_ = test_support::make_temp_dir("load-dump-");
};

// Threads trace numbered lines through the formatter (the 102400-byte ring
// overflows many times) while another records and renders history and this
// one dumps again and again: every dump holds whole history records, then
// whole lines, each thread's in order, within the file's size bound.
TEST_F(load, tracing_threads_with_a_dumping_thread_never_tear_a_line) {
  std::vector<long> last_seq(kThreads, -1);
  long dumps = 0, lines = 0, bad = 0;
  std::atomic<long> dumps_done{0};
  std::atomic<int> writers_left{kThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &writers_left, &dumps_done] {
      for (long seq = 0; seq < kLines; ++seq) {
        // Every 500 lines, wait for the next dump, so dumps fall all along
        // the tracing instead of after a burst that is over at once.
        for (const long seen = dumps_done.load(); seq % 500 == 0 && dumps_done.load() == seen;) {
          std::this_thread::yield();
        }
        comm_rms_operation_log(1, 1, 42, kFunction, "%s", message_for(t, seq).c_str());
      }
      --writers_left;
    });
  }
  threads.emplace_back([&writers_left] {
    for (int i = 0; i < 40; ++i) {
      COMM_RMS_REGISTER_SERVER_INFO reg{};
      std::snprintf(reg.server_pathname, sizeof reg.server_pathname, "/load/%d", i);
      comm_rms_register_server_log(reg, 0);
      COMM_RMS_UNREGISTER_SERVER_INFO unreg{};
      std::memcpy(unreg.server_pathname, reg.server_pathname, sizeof reg.server_pathname);
      comm_rms_unregister_server_log(unreg, 0);
    }
    FILE* sink = std::fopen("/dev/null", "w");
    while (sink != nullptr && writers_left > 0) {
      comm_rms_ucom_log::get_instance()->output_information_log_(sink);
    }
    if (sink != nullptr) std::fclose(sink);
  });
  while (writers_left > 0) {
    bad += comm_rms_ucom_log::get_instance()->dump_to((dir_ + "/").c_str()) != 0;
    const std::string text = test_support::read_file(dir_ + "/" + vantorel::debug_dump::file_name);
    ++dumps;
    dumps_done.fetch_add(1);
    const size_t log = text.find(history_text::operation_log());
    if (text.size() > kDumpFileLimit || text.rfind(history_text::section(), 0) != 0 ||
        log == std::string::npos ||  // the heading, then whole records of 16 lines
        std::count(text.begin(), text.begin() + static_cast<long>(log), '\n') % 16 != 3) {
      ++bad;
      continue;
    }
    std::istringstream in(text.substr(log + history_text::operation_log().size()));
    for (std::string line; std::getline(in, line); ++lines) {
      int thread = -1;
      long seq = -1;
      if (!parse_line(line, &thread, &seq) || seq <= last_seq[thread]) ++bad;
      if (thread >= 0 && thread < kThreads) last_seq[thread] = seq;
    }
  }
  for (std::thread& t : threads) t.join();
  std::printf("[ figures  ] %ld traced, %ld dumps, %ld lines dumped, %ld bad dumps or lines\n",
              kThreads * kLines, dumps, lines, bad);
  EXPECT_EQ(0, bad);
  EXPECT_GT(dumps, 1);
  EXPECT_GT(lines, 0);
}

// fork() waits for a store another thread holds, so the lock is never
// copied held: the child traces without hanging, and the holder has left
// before the parent goes on.
TEST_F(load, fork_waits_for_a_held_store) {
  std::atomic<int> inside{0};
  std::thread holder([&inside] {
    comm_rms_ucom_log::get_instance()->with_ring([&inside](const auto&) {
      inside = 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      inside = 2;
      return 0;
    });
  });
  while (inside == 0) std::this_thread::yield();
  const pid_t child = fork();
  if (child == 0) {
    comm_rms_operation_log(1, 1, 42, kFunction, "child");
    _exit(0);
  }
  EXPECT_EQ(2, inside.load());
  EXPECT_EQ(0, test_support::wait_child(child));
  holder.join();
}

// fork() while another thread traces, records, dumps and asks the channel:
// no lock of the library or the platform may be inherited held, so every
// child traces, records, dumps and asks too, and ends.
TEST_F(load, children_forked_while_every_lock_is_busy_never_hang) {
  if (COMM_RMS_TEST_EMULATOR[0] != '\0') {
    GTEST_SKIP() << "under " COMM_RMS_TEST_EMULATOR
                    ", a child forked beside a busy thread can hang before it runs any code of "
                    "ours";
  }
  const std::string dir = dir_ + "/";
  const auto use_every_lock = [&dir](long i) {
    comm_rms_operation_log(1, 1, 42, kFunction, "%s", message_for(0, i).c_str());
    if (i % 64 == 0) comm_rms_register_server_log(COMM_RMS_REGISTER_SERVER_INFO{}, 0);
    vantorel::bmc_mc_client::bmc_mc_check_facade("nobody_serves_this", 0);
    if (i % 16 == 0) comm_rms_ucom_log::get_instance()->dump_to(dir.c_str());
  };
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    for (long i = 0; !stop; ++i) use_every_lock(i);
  });
  int hung = 0;
  for (int forks = 0; forks < 300 && hung == 0; ++forks) {
    hung += test_support::in_child([&] {
              use_every_lock(0);
              return 0;
            }) != 0;
  }
  stop = true;
  busy.join();
  EXPECT_EQ(0, hung);
}

}  // namespace
