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

using log_test::drain;
const std::string kNul(1, '\0');

class TraceLine : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    drain();
  }
  // 2026-12-04 09:05:07 local time (the fake's local time is UTC).
  void at(int32_t nanoseconds) { fake::set_clock(1796375107u, nanoseconds); }
  std::string stamp(const char* micro) {
    return std::string("[2026-12-04 09:05:07.") + micro + "][" + log_test::thread_field() + "] ";
  }
};

TEST_F(TraceLine, WorkedExamplesComeOutByteForByte) {
  at(42153000);
  comm_rms_operation_log(0, 16, 505, "BOOL vantorel::comm_rms_facade::is_check_facade()",
                         "check server - retry is over.");
  at(7000);
  comm_rms_operation_log(1, 1, 157,
                         "RETCODE vantorel::comm_rms_facade::get_server_path_name(COMM_RMS_"
                         "SERVER_PATH_INFO&)",
                         "server_path_name[%s] size[%d]", "abc", 3);
  EXPECT_EQ(drain(), (std::vector<std::string>{
                         stamp("042153") + "[@ERR][0505] comm_rms_facade::is_check_facade\t" +
                             "check server - retry is over." + kNul,
                         stamp("000007") + "[ INF][0157] comm_rms_facade::get_server_path_name\t" +
                             "server_path_name[abc] size[3]" + kNul}));
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
    bool stored, printed;
  } rows[] = {{0, "[****]", 1, 0},  {1, "[ INF]", 1, 0},   {2, "[ IMP]", 1, 1},
              {3, "[****]", 1, 1},  {4, "[****]", 1, 0},   {8, "[!WRN]", 1, 1},
              {16, "[@ERR]", 1, 1}, {256, "[****]", 1, 0}, {260, "[PERFORM]: ", 0, 1},
              {261, "[****]", 0, 1}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.level);
    fake::reset();
    comm_rms_operation_log(7, r.level, 42, "void a::b::c(int)", "m%d", r.level);
    const std::string message = "m" + std::to_string(r.level);
    const std::string stored = "[1970-01-01 00:00:00.000000][" + log_test::thread_field() + "] " +
                               r.tag + "[0042] b::c\t" + message + kNul;
    EXPECT_EQ(drain(), r.stored ? std::vector<std::string>{stored} : std::vector<std::string>{});
    const auto printed = fake::trace_lines();
    ASSERT_EQ(printed.size(), r.printed ? 1u : 0u);
    if (r.printed) {
      EXPECT_EQ(printed[0].text, std::string(r.tag) + " b::c\t" + message + "\n");
      EXPECT_EQ(printed[0].kind, 7);
    }
  }
}

TEST_F(TraceLine, NumericFieldsMessagesAndUnfilledTime) {
  const std::string long_text(2000, 'x');
  char printf_made[64];
  std::snprintf(printf_made, sizeof printf_made, "%s|%d|%%|%#08X %5.1f", "t", -2147483647 - 1,
                0x12u, 2.25);
  at(999999999);
  comm_rms_operation_log(1, 1, 7, "f()", "a");
  at(999);
  comm_rms_operation_log(1, 1, 12345, "f()", "%s|%d|%%|%#08X %5.1f", "t", -2147483647 - 1, 0x12u,
                         2.25);
  at(5000);
  comm_rms_operation_log(1, 16, 0, "f()", "%s", long_text.c_str());
  fake::set_time_fills(false);
  comm_rms_operation_log(1, 1, 1, "f()", "z");
  EXPECT_EQ(drain(), (std::vector<std::string>{
                         stamp("999999") + "[ INF][0007] f\ta" + kNul,
                         stamp("000000") + "[ INF][12345] f\t" + printf_made + kNul,
                         stamp("000005") + "[@ERR][0000] f\t" + long_text.substr(0, 1278) + kNul,
                         "[1900-01-00 00:00:00.000000][" + log_test::thread_field() +
                             "] [ INF][0001] f\tz" + kNul}));
  ASSERT_EQ(fake::trace_lines().size(), 1u);
  EXPECT_EQ(fake::trace_lines()[0].text, "[@ERR] f\t" + long_text.substr(0, 1278) + "\n");
}

TEST(ShortFunctionName, CutsClassAndMember) {
  const char* cases[][2] = {
      {"RETCODE vantorel::comm_rms_facade::get_rfb_status(COMM_RMS_RFB_GET_STATUS_INFO&)",
       "comm_rms_facade::get_rfb_status"},
      {"virtual vantorel::comm_rms_facade::~comm_rms_facade()",
       "comm_rms_facade::~comm_rms_facade"},
      {"void vantorel::comm_rms_facade::initial(vantorel::comm_rms_facade*)",
       "comm_rms_facade::initial"},
      {"virtual void vantorel::comm_rms_facade::dispatch(LONG, char*, UINT, GEN_IPC_SVC)",
       "comm_rms_facade::dispatch"},
      {"RETCODE comm_rms_initial()", "RETCODE comm_rms_initial"},
      {"no parenthesis a::b::c", "no parenthesis a::b::c"},
      {"void single::call(a::b)", "void single::call"},
      {"::f(int)", "::f"},
      {"x:::y(int)", ":y"}};
  for (const auto& c : cases) {
    size_t length = 0;
    const char* start = vantorel::comm_rms_short_function_name(c[0], &length);
    EXPECT_EQ(std::string(start, length), c[1]);
  }
}

void dropped_and_print_only_calls() {
  fake::reset();
  for (int level : {32, 64, 512, 33, 0x31F}) comm_rms_operation_log(1, level, 1, "f()", "x");
  EXPECT_EQ(fake::calls().clock_reads.load() + fake::calls().local_time_calls.load() +
                fake::calls().thread_guards.load() + fake::calls().mutex_requests.load(),
            0);
  EXPECT_TRUE(fake::trace_lines().empty());
  comm_rms_operation_log(1, 260, 1, "f()", "p");
  EXPECT_EQ(fake::trace_lines().size(), 1u);
  EXPECT_TRUE(fake::registrations().empty());  // no store was created
}

TEST(TraceLevels, DroppedAndPrintOnlyCallsCreateNoStore) {
  IN_FRESH_PROCESS(dropped_and_print_only_calls());
}

}  // namespace
