// The trace formatter as a pure rendering: exact stored lines, tags, sinks
// by level, the message's formatting and the short function name.
#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstring>
#include <string>

#include "log/trace_format.h"

namespace {

namespace tf = vantorel::trace_format;

struct tm local(int year, int month, int day, int hour, int minute, int second) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

std::string message(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string message(const char* format, ...) {
  char out[tf::message_buffer];
  va_list args;
  va_start(args, format);
  const size_t length = tf::format_message(out, format, args);
  va_end(args);
  EXPECT_EQ(length, std::strlen(out));
  return out;
}

TEST(TraceLine, StoredLineByteForByte) {
  const struct tm worked = local(2026, 12, 4, 9, 5, 7);
  const char* facade_check = "BOOL vantorel::comm_rms_facade::is_check_facade()";
  const char* path_name =
      "RETCODE vantorel::comm_rms_facade::get_server_path_name(COMM_RMS_SERVER_PATH_INFO&)";
  struct row {
    struct tm when;
    long nanoseconds;
    unsigned long thread;
    int level, line;
    const char* function;
    const char* message;
    const char* stored;
  } rows[] = {
      {worked, 42153000, 1208479328, 16, 505, facade_check, "check server - retry is over.",
       "[2026-12-04 09:05:07.042153][1208479328] [@ERR][0505] comm_rms_facade::is_check_facade\t"
       "check server - retry is over."},
      {worked, 7000, 1208479328, 1, 157, path_name, "server_path_name[abc] size[3]",
       "[2026-12-04 09:05:07.000007][1208479328] [ INF][0157] "
       "comm_rms_facade::get_server_path_name\tserver_path_name[abc] size[3]"},
      {worked, 999999999, 1234, 2, 7, "f()", "",
       "[2026-12-04 09:05:07.999999][0000001234] [ IMP][0007] f\t"},
      {worked, 999, 0, 8, 12345, "a::b::c(int)", "m",
       "[2026-12-04 09:05:07.000000][0000000000] [!WRN][12345] b::c\tm"},
      {worked, 5000, 4294967295UL, 0, -1, "x", "m",
       "[2026-12-04 09:05:07.000005][4294967295] [****][-001] x\tm"},
      {{}, 0, 1, 3, 0, "f()", "m", "[1900-01-00 00:00:00.000000][0000000001] [****][0000] f\tm"},
      {local(10000, 1, 2, 3, 4, 5), -5000, 42, 261, 1, "f()", "m",
       "[10000-01-02 03:04:05.-00005][0000000042] [****][0001] f\tm"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.stored);
    const tf::line_fields fields{r.when, r.nanoseconds, r.thread, r.level, r.line, r.function};
    char out[tf::line_buffer];
    const size_t length = tf::render_stored_line(out, fields, r.message, std::strlen(r.message));
    EXPECT_EQ(std::string(out, length + 1), std::string(r.stored) + '\0');
  }
}

TEST(TraceLine, LevelChoosesDropTagAndSinks) {
  struct row {
    int level;
    bool dropped, stored, printed;
    const char* tag;
  } rows[] = {{0, 0, 1, 0, "[****]"},   {1, 0, 1, 0, "[ INF]"},
              {2, 0, 1, 1, "[ IMP]"},   {3, 0, 1, 1, "[****]"},
              {4, 0, 1, 0, "[****]"},   {8, 0, 1, 1, "[!WRN]"},
              {16, 0, 1, 1, "[@ERR]"},  {24, 0, 1, 1, "[****]"},
              {256, 0, 1, 0, "[****]"}, {260, 0, 0, 1, "[PERFORM]: "},
              {261, 0, 0, 1, "[****]"}, {32, 1, 0, 0, ""},
              {64, 1, 0, 0, ""},        {512, 1, 0, 0, ""},
              {33, 1, 0, 0, ""},        {0x31F, 1, 0, 0, ""},
              {-1, 1, 0, 0, ""}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.level);
    EXPECT_EQ(!tf::passes_mask(r.level), r.dropped);
    if (r.dropped) continue;
    EXPECT_EQ(tf::is_stored(r.level), r.stored);
    EXPECT_EQ(tf::is_printed(r.level), r.printed);
    const tf::tag tag = tf::tag_for(r.level);
    EXPECT_EQ(std::string(tag.text, tag.length), r.tag);
  }
}

TEST(TraceLine, MessageAsVsnprintfWritesIt) {
  const std::string long_text(2000, 'x');
  struct row {
    std::string got;
    std::string want;
  } rows[] = {
      {message("server_path_name[%s] size[%d]", "abc", 3), "server_path_name[abc] size[3]"},
      {message("%d|%d", INT_MIN, INT_MAX), "-2147483648|2147483647"},
      {message("100%% done%%"), "100% done%"},
      {message("%x|%X", 255u, 0xABCu), "ff|ABC"},
      {message("%u", 4294967295u), "4294967295"},
      {message("[%5d][%-3d]", 42, 7), "[   42][7  ]"},
      {message("Ret[%#08X]", 0x12u), "Ret[0X000012]"},
      {message("%s|%.2s|%5.1f", "t", "abc", 2.25), "t|ab|  2.2"},
      {message("%s", long_text.c_str()), long_text.substr(0, 1278)},
      {message("%s%d", long_text.c_str(), 5), long_text.substr(0, 1278)},
  };
  for (const row& r : rows) EXPECT_EQ(r.got, r.want);
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

}  // namespace
