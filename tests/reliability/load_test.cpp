// Load and accounting of the trace path: many threads trace numbered lines
// while another thread dumps again and again. Every line that reaches a dump
// file must be whole, each thread's numbers must only go forward, and every
// line traced must be accounted for: dumped, still stored, evicted to make
// room for newer ones, or lost at the dump file's size bound.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "comm_rms/comm_rms.h"
#include "log/comm_rms_ucom_log.h"
#include "test_support.h"
#include "vantorel/host/host.h"
#include "vantorel/ipc.h"

namespace {

using vantorel::comm_rms_ucom_log;
using vantorel::host::ring_counters;

constexpr int kThreads = 8;
constexpr int kLinesPerThread = 20000;
constexpr int kStride = 500;
constexpr unsigned int kTinyCapacity = 512;
constexpr long kDumpFileLimit = 102400;
constexpr int kTraceLine = 42;
constexpr const char* kFunction = "void reliability::load::trace(int, long)";
constexpr const char* kLineMiddle = "] [ INF][0042] load::trace\t";

// The host platform's console socket lives in a run directory private to
// this executable; set before the library first asks for it.
const test_support::run_dir the_run_dir;

// Lines differ in length (the padding follows the number), so a line torn
// or spliced from two others does not read back as a valid one.
std::string message_for(int thread, long seq) {
  char text[128];
  std::snprintf(text, sizeof text, "thread[%d] seq[%ld] pad[%.*s]", thread, seq,
                static_cast<int>(seq % 41), "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx");
  return text;
}

bool parse_message(const std::string& text, int* thread, long* seq) {
  return std::sscanf(text.c_str(), "thread[%d] seq[%ld]", thread, seq) == 2 && *thread >= 0 &&
         *thread < kThreads && text == message_for(*thread, *seq);
}

// "[YYYY-MM-DD HH:MM:SS.uuuuuu][thread] [ INF][0042] load::trace<TAB>message",
// every number at its full width, the thread of at least 10 digits.
bool parse_trace_line(const std::string& line, int* thread, long* seq) {
  char tid[32] = "";
  int end = 0;
  const int got = std::sscanf(
      line.c_str(), "[%*4[0-9]-%*2[0-9]-%*2[0-9] %*2[0-9]:%*2[0-9]:%*2[0-9].%*6[0-9]][%31[0-9]%n",
      tid, &end);
  const size_t at = static_cast<size_t>(end), middle = std::strlen(kLineMiddle);
  return got == 1 && std::strlen(tid) >= 10 && at == 29 + std::strlen(tid) &&
         line.compare(at, middle, kLineMiddle) == 0 &&
         parse_message(line.substr(at + middle), thread, seq);
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool starts_with(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// One record of the connection section: sixteen lines of known labels, the
// counted lengths agreeing with the texts.
bool whole_history_record(const std::vector<std::string>& l, size_t at, long* id) {
  static const char* const labels[16] = {
      "--------------------------------------------------------------------------------",
      "[ID:",
      "    Regist[",
      "        Parameter",
      "            url                    :[",
      "            url_length             :[",
      "            server_pathname        :[",
      "            server_pathname_length :[",
      "        Result                     :[",
      "",
      "    Unregist[",
      "        Parameter",
      "            server_pathname        :[",
      "            server_pathname_length :[",
      "            is_terminated          :[",
      "        Result                     :["};
  if (at + 16 > l.size()) return false;
  for (int i = 0; i < 16; ++i) {
    if (!starts_with(l[at + i], labels[i])) return false;
  }
  const size_t label = std::strlen(labels[4]);
  const std::string url = l[at + 4].substr(label, l[at + 4].size() - label - 1);
  const std::string path = l[at + 6].substr(label, l[at + 6].size() - label - 1);
  return std::sscanf(l[at + 1].c_str(), "[ID:%ld]", id) == 1 &&
         l[at + 5] == std::string(labels[5]) + std::to_string(url.size()) + "]" &&
         l[at + 7] == std::string(labels[7]) + std::to_string(path.size()) + "]" &&
         starts_with(url, "vnc://load/") && starts_with(path, "/load/");
}

struct dump_check {
  int result = 0;
  size_t bytes = 0;
  bool sections_whole = false;
  long history_records = 0;
  std::vector<std::string> trace_lines;
};

// Dumps `store` into `dir` and splits the file into its sections.
dump_check dump_and_read(comm_rms_ucom_log& store, const std::string& dir) {
  dump_check check;
  check.result = store.dump_to((dir + "/").c_str());
  const std::string text = test_support::read_file(dir + "/" + vantorel::debug_dump::file_name);
  check.bytes = text.size();
  if (text.empty() || text.back() != '\n') return check;
  const std::vector<std::string> lines = split_lines(text);
  const std::string banner(80, '=');
  if (lines.size() < 6 || lines[0] != banner || lines[1] != "Remote Panel Connect Information" ||
      lines[2] != banner) {
    return check;
  }
  size_t at = 3;
  long previous_id = 0;
  while (at < lines.size() && lines[at] == std::string(80, '-')) {
    long id = 0;
    if (!whole_history_record(lines, at, &id)) return check;
    if (previous_id != 0 && id != previous_id + 1) return check;  // none lost or doubled
    previous_id = id;
    ++check.history_records;
    at += 16;
  }
  if (at + 3 > lines.size() || lines[at] != banner || lines[at + 1] != "Operation log" ||
      lines[at + 2] != banner) {
    return check;
  }
  check.trace_lines.assign(lines.begin() + static_cast<long>(at) + 3, lines.end());
  check.sections_whole = true;
  return check;
}

struct figures {
  long traced = 0, dumps = 0, dumped = 0, torn = 0, backwards = 0, lost_at_bound = 0;
  long bad_dumps = 0;  // result not 0, sections not whole, or a loss the bound does not explain
  ring_counters delta{};
  long stored_at_end = 0;
};

ring_counters counters(comm_rms_ucom_log* store) {
  return store->with_ring(vantorel::host::counters_of);
}

long stored(const ring_counters& c) {
  return static_cast<long>(c.pushed - c.popped - c.evicted);
}

struct load_run {
  load_run(comm_rms_ucom_log* s, bool formatter, int history, int records, std::string d)
      : store(s),
        through_formatter(formatter),
        history_threads(history),
        records_per_history_thread(records),
        dir(std::move(d)) {}

  comm_rms_ucom_log* store;
  bool through_formatter;  // trace with comm_rms_operation_log, else push_log directly
  int history_threads;     // threads registering/unregistering meanwhile
  int records_per_history_thread;
  std::string dir;

  std::vector<long> last_seq = std::vector<long>(kThreads, -1);
  figures f;
  long final_drain_lost = 0;
  std::atomic<long> dumps_done{0};

  // One dump, checked: lines whole and in order, its loss explained.
  void dump_once() {
    const ring_counters before = counters(store);
    const dump_check check = dump_and_read(*store, dir);
    const ring_counters after = counters(store);
    ++f.dumps;
    dumps_done.fetch_add(1, std::memory_order_release);
    const long popped = static_cast<long>(after.popped - before.popped);
    const long written = static_cast<long>(check.trace_lines.size());
    const long lost = popped - written;
    // At most the one entry that did not fit, and only near the bound.
    const bool loss_explained =
        lost == 0 || (lost == 1 && check.bytes + 256 > static_cast<size_t>(kDumpFileLimit));
    if (check.result != 0 || !check.sections_whole || !loss_explained ||
        check.bytes > static_cast<size_t>(kDumpFileLimit)) {
      ++f.bad_dumps;
    }
    f.lost_at_bound += lost;
    for (const std::string& line : check.trace_lines) {
      int thread = -1;
      long seq = -1;
      const bool ok = through_formatter ? parse_trace_line(line, &thread, &seq)
                                        : parse_message(line, &thread, &seq);
      if (!ok) {
        ++f.torn;
        continue;
      }
      ++f.dumped;
      if (seq <= last_seq[thread]) ++f.backwards;
      last_seq[thread] = seq;
    }
  }

  void run() {
    // Start from an empty buffer so the counters below are this run's alone.
    for (int i = 0; i < 20 && stored(counters(store)) != 0; ++i) dump_once();
    ASSERT_EQ(stored(counters(store)), 0);
    const ring_counters start = counters(store);
    f = figures{};

    std::atomic<int> writers_left{kThreads};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([this, t, &writers_left] {
        for (long seq = 0; seq < kLinesPerThread; ++seq) {
          // Every stride, wait for the next dump, so dumps fall all along
          // the tracing instead of after a burst that is over at once.
          if (seq % kStride == 0) {
            const long seen = dumps_done.load(std::memory_order_acquire);
            while (dumps_done.load(std::memory_order_acquire) == seen) std::this_thread::yield();
          }
          const std::string message = message_for(t, seq);
          if (through_formatter) {
            comm_rms_operation_log(1, 1, kTraceLine, kFunction, "%s", message.c_str());
          } else {
            store->push_log(message.c_str(), message.size() + 1);
          }
        }
        writers_left.fetch_sub(1, std::memory_order_release);
      });
    }
    for (int h = 0; h < history_threads; ++h) {
      threads.emplace_back([this, h] {
        for (int i = 0; i < records_per_history_thread; ++i) {
          COMM_RMS_REGISTER_SERVER_INFO reg{};
          std::snprintf(reg.url, sizeof reg.url, "vnc://load/%d/%d", h, i);
          std::snprintf(reg.server_pathname, sizeof reg.server_pathname, "/load/%d/%d", h, i);
          comm_rms_register_server_log(reg, 0);
          COMM_RMS_UNREGISTER_SERVER_INFO unreg{};
          std::snprintf(unreg.server_pathname, sizeof unreg.server_pathname, "/load/%d/%d", h, i);
          comm_rms_unregister_server_log(unreg, 0);
        }
      });
    }
    std::atomic<bool> rendering{history_threads > 0};
    std::thread renderer([this, &rendering] {
      FILE* sink = std::fopen("/dev/null", "w");
      while (sink != nullptr && rendering.load(std::memory_order_acquire)) {
        store->output_information_log_(sink);
      }
      if (sink != nullptr) std::fclose(sink);
    });
    while (writers_left.load(std::memory_order_acquire) > 0) dump_once();
    for (std::thread& t : threads) t.join();
    rendering.store(false, std::memory_order_release);
    renderer.join();
    const long lost_before_drain = f.lost_at_bound;
    for (int i = 0; i < 20 && stored(counters(store)) != 0; ++i) dump_once();
    final_drain_lost = f.lost_at_bound - lost_before_drain;

    const ring_counters end = counters(store);
    f.traced = static_cast<long>(kThreads) * kLinesPerThread;
    f.delta = ring_counters{end.pushed - start.pushed, end.popped - start.popped,
                            end.evicted - start.evicted, end.refused - start.refused};
    f.stored_at_end = stored(end);
  }

  void print(const char* title, unsigned int capacity) const {
    std::printf(
        "[ figures  ] %s: %d threads x %d lines = %ld traced, buffer %u bytes, %ld dumps; "
        "dumped %ld + stored %ld + evicted %llu + lost at bound %ld; refused %llu, torn %ld, "
        "out of order %ld\n",
        title, kThreads, kLinesPerThread, f.traced, capacity, f.dumps, f.dumped, f.stored_at_end,
        static_cast<unsigned long long>(f.delta.evicted), f.lost_at_bound,
        static_cast<unsigned long long>(f.delta.refused), f.torn, f.backwards);
  }
};

void expect_accounted(const load_run& run) {
  const figures& f = run.f;
  EXPECT_EQ(f.torn, 0);
  EXPECT_EQ(f.backwards, 0);
  EXPECT_EQ(f.bad_dumps, 0);
  EXPECT_GT(f.dumps, 1);
  EXPECT_GT(f.dumped, 0);
  EXPECT_EQ(f.delta.refused, 0u);
  EXPECT_EQ(static_cast<long>(f.delta.pushed), f.traced);
  EXPECT_EQ(static_cast<long>(f.delta.popped), f.dumped + f.lost_at_bound);
  EXPECT_EQ(f.traced,
            f.dumped + f.stored_at_end + static_cast<long>(f.delta.evicted) + f.lost_at_bound);
  // The newest line is never the one evicted: unless the final drain hit the
  // size bound, the thread that traced last has its last line dumped.
  if (run.final_drain_lost == 0) {
    bool last_line_dumped = false;
    for (int t = 0; t < kThreads; ++t) {
      last_line_dumped = last_line_dumped || run.last_seq[t] == kLinesPerThread - 1;
    }
    EXPECT_TRUE(last_line_dumped);
  }
}

class load : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.empty()); }
  void TearDown() override { test_support::remove_tree(dir_); }
  const std::string dir_ = test_support::make_temp_dir("load-dump-");
};

// The process's store, traced through the formatter, while other threads
// register, unregister and render the history: both sections stay whole.
TEST_F(load, tracing_threads_with_a_dumping_thread_account_for_every_line) {
  load_run run{comm_rms_ucom_log::get_instance(), true, 2, 25, dir_};
  run.run();
  run.print("process store with history load", comm_rms_ucom_log::kRingCapacity);
  expect_accounted(run);
  const dump_check last = dump_and_read(*comm_rms_ucom_log::get_instance(), dir_);
  ASSERT_TRUE(last.sections_whole);
  EXPECT_GE(last.history_records, 2 * 25);
}

TEST_F(load, a_tiny_buffer_evicts_whole_entries_and_accounts_for_them) {
  comm_rms_ucom_log tiny(kTinyCapacity);
  load_run run{&tiny, false, 0, 0, dir_};
  run.run();
  run.print("tiny store", kTinyCapacity);
  expect_accounted(run);
}

// fork() while another thread traces, records, dumps and asks the channel:
// no lock of the library or the platform may be inherited held, so every
// child traces, records, dumps and asks too, and ends.
TEST_F(load, children_forked_while_every_lock_is_busy_never_hang) {
  if (COMM_RMS_TEST_EMULATOR[0] != '\0') {
    GTEST_SKIP() << "under " COMM_RMS_TEST_EMULATOR
                    ", a child forked beside a busy thread can "
                    "hang before it runs any code of ours";
  }
  comm_rms_ucom_log* store = comm_rms_ucom_log::get_instance();
  const std::string dir = dir_ + "/";
  const auto use_every_lock = [store, &dir](long i) {
    comm_rms_operation_log(1, 1, kTraceLine, kFunction, "%s", message_for(0, i).c_str());
    if (i % 64 == 0) comm_rms_register_server_log(COMM_RMS_REGISTER_SERVER_INFO{}, 0);
    vantorel::bmc_mc_client::bmc_mc_check_facade("nobody_serves_this", 0);
    if (i % 16 == 0) store->dump_to(dir.c_str());
  };
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    for (long i = 0; !stop.load(); ++i) use_every_lock(i);
  });
  constexpr int kForks = 300;
  int forks = 0, hung = 0;
  for (; forks < kForks && hung == 0; ++forks) {
    hung += test_support::in_child([&] {
              use_every_lock(0);
              return 0;
            }) != 0;
  }
  stop = true;
  busy.join();
  std::printf("[ figures  ] fork under load: %d children, %d hung\n", forks, hung);
  EXPECT_EQ(0, hung);
}

}  // namespace
