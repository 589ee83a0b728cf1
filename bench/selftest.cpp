// The harness's own checks: the statistics behind every ratio, and that each
// baseline does the work it stands in for. No timings are asserted here.
#include <benchmark/benchmark.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <regex>

#include "bench_support.h"
#include "dump_lines.h"
#include "seqpacket_peer.h"
#include "spdlog_baseline.h"

namespace comm_rms_bench {
namespace {

TEST(Statistics, MedianOfOddAndEvenCounts) {
  EXPECT_EQ(median({5, 1, 3}), 3);
  EXPECT_EQ(median({4, 1, 3, 2}), 2.5);
  EXPECT_EQ(median({}), 0);
}

TEST(Statistics, PercentileTakesTheNearestRank) {
  std::vector<double> values;
  for (int i = 1000; i >= 1; --i) values.push_back(i);
  EXPECT_EQ(percentile(values, 99), 990);
  EXPECT_EQ(percentile(values, 100), 1000);
  EXPECT_EQ(percentile({7}, 99), 7);
  // 99% of 50 is 49.5: the 50th value, not the 49th.
  std::vector<double> fifty;
  for (int i = 1; i <= 50; ++i) fifty.push_back(i);
  EXPECT_EQ(percentile(fifty, 99), 50);
}

TEST(Statistics, LatencyLogKeepsNoMoreThanItsCapacity) {
  latency_log log(3);
  for (double v : {10.0, 20.0, 30.0, 1e9}) log.add(v);
  EXPECT_EQ(log.size(), 3u);
  EXPECT_EQ(log.mean(), 20);
  EXPECT_EQ(log.p99(), 30);
}

TEST(SpdlogBaseline, ByteRingHoldsTheFormattedLineWithItsNul) {
  auto sink = std::make_shared<byte_ring_sink>(102400);
  auto logger = make_stored_line_logger(sink);
  const spdlog::source_loc where{"facade.cpp", 157, "comm_rms_facade::get_server_path_name"};
  logger->log(where, spdlog::level::info, "server_path_name[{}] size[{}]", "abc", 3);
  logger->log(where, spdlog::level::debug, "filtered out");
  const std::string entry = sink->pop();
  ASSERT_FALSE(entry.empty());
  EXPECT_EQ(entry.back(), '\0');
  const std::regex shape(
      R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}\]\[\d+\] \[info\]\[157\] )"
      R"(comm_rms_facade::get_server_path_name\tserver_path_name\[abc\] size\[3\])");
  EXPECT_TRUE(std::regex_match(entry.substr(0, entry.size() - 1), shape)) << entry;
  EXPECT_EQ(sink->pop(), "");
}

TEST(SpdlogBaseline, ByteRingKeepsTheNewestLinesWithinItsCapacity) {
  auto sink = std::make_shared<byte_ring_sink>(1024);
  auto logger = make_stored_line_logger(sink);
  const spdlog::source_loc where{"facade.cpp", 157, "f"};
  for (int i = 0; i < 100; ++i) logger->log(where, spdlog::level::info, "line {}", i);
  std::size_t bytes = 0;
  std::string last;
  for (std::string e = sink->pop(); !e.empty(); e = sink->pop()) {
    bytes += e.size() + sizeof(uint32_t);
    last = e;
  }
  EXPECT_LE(bytes, 1024u);
  EXPECT_GT(bytes, 1024u / 2);
  EXPECT_NE(last.find("line 99"), std::string::npos) << last;
}

TEST(SeqpacketPeer, AnswersWithTheNamedLengthsAndLeavesWhenClosed) {
  seqpacket_peer peer;
  ASSERT_EQ(peer.start(), 0);
  const unsigned int shapes[][2] = {{264, 268}, {514, 4}, {264, 4}, {4, 8}};
  for (const auto& s : shapes) {
    unsigned char request[1024] = {};
    unsigned char reply[1024];
    std::memcpy(request, &s[1], sizeof(uint32_t));
    EXPECT_EQ(peer.exchange(request, s[0], reply, sizeof reply), static_cast<long>(s[1]));
  }
  const pid_t child = peer.pid();
  peer.stop();
  EXPECT_EQ(waitpid(child, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(SeqpacketPeer, ExchangeWithADeadPeerFailsAtOnce) {
  seqpacket_peer peer;
  ASSERT_EQ(peer.start(), 0);
  ASSERT_EQ(kill(peer.pid(), SIGKILL), 0);
  ASSERT_EQ(waitpid(peer.pid(), nullptr, 0), peer.pid());
  unsigned char request[8] = {4, 0, 0, 0};
  unsigned char reply[8];
  EXPECT_LT(peer.exchange(request, sizeof request, reply, sizeof reply), 0);
  peer.stop();  // reaped already: returns without waiting or signalling
  EXPECT_EQ(peer.pid(), -1);
}

TEST(Table, TargetIsMetUpToAndIncludingItsRatio) {
  const comparison c{"figure", "ours", "base", "", 0.5, clock_kind::cpu};
  const double base = 200;
  const double at = 100;
  const double above = 100.2;
  EXPECT_EQ(table_row(c, &at, &base, ""), "ROW|figure|100.0|200.0|0.500|<= 0.50|yes|cpu");
  EXPECT_EQ(table_row(c, &above, &base, ""), "ROW|figure|100.2|200.0|0.501|<= 0.50|no|cpu");
}

TEST(Table, MissingFiguresAreShownNotHidden) {
  const comparison with_base{"figure", "ours", "base", "", 1.0, clock_kind::real};
  const comparison alone{"figure", "ours", "", "", 0, clock_kind::real};
  const double ours = 5;
  EXPECT_EQ(table_row(with_base, nullptr, nullptr, "not run"), "");
  EXPECT_EQ(table_row(with_base, nullptr, nullptr, "refused"),
            "ROW|figure|error: refused|-|-|-|-|real");
  EXPECT_EQ(table_row(with_base, &ours, nullptr, "not run"),
            "ROW|figure|5.0|error: not run|-|-|-|real");
  EXPECT_EQ(table_row(alone, &ours, nullptr, ""), "ROW|figure|5.0|-|-|-|-|real");
}

int threads_of_this_process() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  int threads = -1;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "Threads: %d", &threads) == 1) break;
  }
  std::fclose(status);
  return threads;
}

TEST(SecondThread, LivesExactlyAsLongAsItsObject) {
  const int before = threads_of_this_process();
  {
    second_thread other;
    EXPECT_EQ(threads_of_this_process(), before + 1);
  }
  EXPECT_EQ(threads_of_this_process(), before);
}

// The whole path from registered benchmarks to the printed rows: names of
// threaded runs, medians of counters over repetitions, the chosen clock.
TEST(Run, PrintsOneRowPerComparisonFromTheMedians) {
  benchmark::RegisterBenchmark("selftest/ours", [](benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(state.iterations());
    state.counters["work"] = 3;
  });
  benchmark::RegisterBenchmark("selftest/base", [](benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(state.iterations());
    state.counters["work"] = 4;
  })->Threads(2);
  const std::vector<comparison> table = {
      {"counted", "selftest/ours", "selftest/base/threads:2", "work", 0.75, clock_kind::real},
      {"timed", "selftest/ours", "", "", 0, clock_kind::cpu},
      {"absent", "selftest/none", "selftest/base/threads:2", "work", 1, clock_kind::real},
  };
  char program[] = "selftest";
  char filter[] = "--benchmark_filter=selftest/";
  char repetitions[] = "--benchmark_repetitions=3";
  char min_time[] = "--benchmark_min_time=0.001";
  char* argv[] = {program, filter, repetitions, min_time, nullptr};
  testing::internal::CaptureStdout();
  EXPECT_EQ(run(4, argv, table), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  // The threaded run's counter is the sum over its two threads.
  EXPECT_NE(out.find("ROW|counted|3.0|8.0|0.375|<= 0.75|yes|real\n"), std::string::npos) << out;
  EXPECT_NE(out.find("ROW|timed|"), std::string::npos) << out;
  EXPECT_EQ(out.find("ROW|absent|"), std::string::npos) << out;
}

TEST(DumpLines, TakesEveryLineAfterTheOperationLogHeading) {
  const std::string banner(80, '=');
  const std::string dump = banner + "\nRemote Panel Connect Information\n" + banner + "\n" +
                           banner + "\nOperation log\n" + banner + "\nfirst\nsecond\n";
  EXPECT_EQ(operation_log_lines(dump), (std::vector<std::string>{"first\n", "second\n"}));
  EXPECT_TRUE(operation_log_lines(banner + "\nOperation log\n").empty());
  EXPECT_TRUE(operation_log_lines(dump + "\n").size() == 3);
}

}  // namespace
}  // namespace comm_rms_bench
