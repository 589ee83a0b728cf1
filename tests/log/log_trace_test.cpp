// The trace formatter: exact stored and printed lines, tags and sinks by
// level, the short function name, and dropped levels that cost nothing.
#include <ctime>
#include <string>

#include "comm_rms/operation_log.h"
#include "fake_platform.h"
#include "fresh_process.h"
#include "log/trace_format.h"
#include "log_test_util.h"

namespace {

using log_test::drain_store;
using log_test::thread_field;

const std::string kNul(1, '\0');

class TraceLine : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    drain_store();
    struct tm when = {};
    when.tm_year = 2026 - 1900;
    when.tm_mon = 11;
    when.tm_mday = 4;
    when.tm_hour = 9;
    when.tm_min = 5;
    when.tm_sec = 7;
    seconds_ = static_cast<uint32_t>(timegm(&when));
  }
  void at(int32_t nanoseconds) { fake::set_clock(seconds_, nanoseconds); }
  std::string stamp(const char* micro) {
    return std::string("[2026-12-04 09:05:07.") + micro + "][" + thread_field() + "] ";
  }
  uint32_t seconds_ = 0;
};

TEST_F(TraceLine, WorkedExamplesComeOutByteForByte) {
  at(42153000);
  comm_rms_operation_log(0, 16, 505, "BOOL vantorel::comm_rms_facade::is_check_facade()",
                         "check server - retry is over.");
  at(7000);
  comm_rms_operation_log(
      1, 1, 157,
      "RETCODE vantorel::comm_rms_facade::get_server_path_name(COMM_RMS_SERVER_PATH_INFO&)",
      "server_path_name[%s] size[%d]", "abc", 3);

  const std::vector<std::string> stored = drain_store();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0], stamp("042153") +
                           "[@ERR][0505] comm_rms_facade::is_check_facade\tcheck server - retry is "
                           "over." +
                           kNul);
  EXPECT_EQ(stored[1],
            stamp("000007") +
                "[ INF][0157] comm_rms_facade::get_server_path_name\tserver_path_name[abc] "
                "size[3]" +
                kNul);
  const auto printed = fake::trace_lines();
  ASSERT_EQ(printed.size(), 1u);
  EXPECT_EQ(printed[0].module, 0x340Eu);
  EXPECT_EQ(printed[0].category, 0x102u);
  EXPECT_EQ(printed[0].kind, 0);
  EXPECT_EQ(printed[0].text,
            "[@ERR] comm_rms_facade::is_check_facade\tcheck server - retry is over.\n");
}

TEST_F(TraceLine, LevelChoosesTagAndSinks) {
  struct row {
    int level;
    const char* tag;
    bool stored;
    bool printed;
  };
  const row rows[] = {{0, "[****]", true, false},        {1, "[ INF]", true, false},
                      {2, "[ IMP]", true, true},         {3, "[****]", true, true},
                      {4, "[****]", true, false},        {8, "[!WRN]", true, true},
                      {16, "[@ERR]", true, true},        {256, "[****]", true, false},
                      {260, "[PERFORM]: ", false, true}, {261, "[****]", false, true}};
  at(0);
  for (const row& r : rows) {
    SCOPED_TRACE(r.level);
    fake::reset();
    at(0);
    comm_rms_operation_log(7, r.level, 42, "void a::b::c(int)", "m%d", r.level);
    const std::vector<std::string> stored = drain_store();
    const std::string message = "m" + std::to_string(r.level);
    if (r.stored) {
      ASSERT_EQ(stored.size(), 1u);
      EXPECT_EQ(stored[0], stamp("000000") + r.tag + "[0042] b::c\t" + message + kNul);
    } else {
      EXPECT_TRUE(stored.empty());
    }
    const auto printed = fake::trace_lines();
    ASSERT_EQ(printed.size(), r.printed ? 1u : 0u);
    if (r.printed) {
      EXPECT_EQ(printed[0].text, std::string(r.tag) + " b::c\t" + message + "\n");
      EXPECT_EQ(printed[0].kind, 7);
    }
  }
}

TEST_F(TraceLine, NumericFieldsAndLongMessages) {
  at(999999999);
  comm_rms_operation_log(1, 1, 7, "f()", "a");
  at(999);
  comm_rms_operation_log(1, 1, 12345, "f()", "b");
  at(5000);
  const std::string long_text(2000, 'x');
  comm_rms_operation_log(1, 16, 0, "f()", "%s", long_text.c_str());
  const std::vector<std::string> stored = drain_store();
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(stored[0], stamp("999999") + "[ INF][0007] f\ta" + kNul);
  EXPECT_EQ(stored[1], stamp("000000") + "[ INF][12345] f\tb" + kNul);
  EXPECT_EQ(stored[2], stamp("000005") + "[@ERR][0000] f\t" + long_text.substr(0, 1278) + kNul);
  ASSERT_EQ(fake::trace_lines().size(), 1u);
  EXPECT_EQ(fake::trace_lines()[0].text, "[@ERR] f\t" + long_text.substr(0, 1278) + "\n");
}

TEST_F(TraceLine, MessagesMatchThePrintfFamily) {
  at(0);
  char expected[2][64];
  std::snprintf(expected[0], 64, "%s|%d|%%|%d", "txt", -2147483647 - 1, 42);
  std::snprintf(expected[1], 64, "%#08X %5.1f %-3c|%d", 0x1234u, 2.25, 'z', 7);
  comm_rms_operation_log(1, 1, 1, "f()", "%s|%d|%%|%d", "txt", -2147483647 - 1, 42);
  comm_rms_operation_log(1, 1, 1, "f()", "%#08X %5.1f %-3c|%d", 0x1234u, 2.25, 'z', 7);
  const std::vector<std::string> stored = drain_store();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0], stamp("000000") + "[ INF][0001] f\t" + expected[0] + kNul);
  EXPECT_EQ(stored[1], stamp("000000") + "[ INF][0001] f\t" + expected[1] + kNul);
}

TEST_F(TraceLine, UnfilledClockGivesZeroTime) {
  fake::set_time_fills(false);
  comm_rms_operation_log(1, 1, 1, "f()", "z");
  const std::vector<std::string> stored = drain_store();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0],
            "[1900-01-00 00:00:00.000000][" + thread_field() + "] [ INF][0001] f\tz" + kNul);
}

std::string short_name(const char* function) {
  size_t length = 0;
  const char* start = vantorel::comm_rms_short_function_name(function, &length);
  return std::string(start, length);
}

TEST(ShortFunctionName, CutsClassAndMember) {
  EXPECT_EQ(short_name("RETCODE vantorel::comm_rms_facade::get_rfb_status(COMM_RMS_RFB_GET_STATUS_"
                       "INFO&)"),
            "comm_rms_facade::get_rfb_status");
  EXPECT_EQ(short_name("virtual vantorel::comm_rms_facade::~comm_rms_facade()"),
            "comm_rms_facade::~comm_rms_facade");
  EXPECT_EQ(short_name("void vantorel::comm_rms_facade::initial(vantorel::comm_rms_facade*)"),
            "comm_rms_facade::initial");
  EXPECT_EQ(short_name("virtual void vantorel::comm_rms_facade::dispatch(LONG, char*, UINT, "
                       "GEN_IPC_SVC)"),
            "comm_rms_facade::dispatch");
  EXPECT_EQ(short_name("RETCODE comm_rms_initial()"), "RETCODE comm_rms_initial");
  EXPECT_EQ(short_name("no parenthesis a::b::c"), "no parenthesis a::b::c");
  EXPECT_EQ(short_name("void single::call(a::b)"), "void single::call");
  EXPECT_EQ(short_name("::f(int)"), "::f");
  EXPECT_EQ(short_name("x:::y(int)"), ":y");
}

TEST(DroppedLevels, CostNothingAndCreateNoStore) {
  log_test::fresh_children();
  IN_FRESH_PROCESS({
    fake::reset();
    for (int level : {32, 64, 512, 33, 0x11F | 0x200}) {
      comm_rms_operation_log(1, level, 1, "f()", "%s", "never formatted");
    }
    EXPECT_EQ(fake::calls().clock_reads.load(), 0);
    EXPECT_EQ(fake::calls().local_time_calls.load(), 0);
    EXPECT_EQ(fake::calls().thread_guards.load(), 0);
    EXPECT_EQ(fake::calls().mutex_requests.load(), 0);
    EXPECT_TRUE(fake::registrations().empty());
    EXPECT_TRUE(fake::trace_lines().empty());
  });
}

TEST(PrintOnlyLevels, CreateNoStore) {
  log_test::fresh_children();
  IN_FRESH_PROCESS({
    fake::reset();
    comm_rms_operation_log(1, 260, 1, "f()", "p");
    EXPECT_EQ(fake::trace_lines().size(), 1u);
    EXPECT_TRUE(fake::registrations().empty());
  });
}

}  // namespace
