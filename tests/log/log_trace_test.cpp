// The trace formatter as a pure rendering: exact stored lines, tags, sinks
// by level, the message's formatting and the short function name.
#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "log/trace_format.h"

namespace {

namespace tf = vantorel::trace_format;

// The message as the formatter writes it, and as vsnprintf writes it.
void expect_as_vsnprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void expect_as_vsnprintf(const char* format, ...) {
  char ours[tf::message_buffer], theirs[tf::message_buffer] = {};
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  const size_t length = tf::format_message(ours, format, args);
  std::vsnprintf(theirs, tf::message_limit, format, again);
  va_end(again);
  va_end(args);
  EXPECT_EQ(std::string(ours, length + 1), std::string(theirs, std::strlen(theirs) + 1)) << format;
}

TEST(TraceLine, StoredLineByteForByte) {
  // sec, min, hour, day, month - 1, year - 1900
  const struct tm worked { 7, 5, 9, 4, 11, 126, 0, 0, 0, 0, nullptr };
  const struct tm far { 5, 4, 3, 2, 0, 8100, 0, 0, 0, 0, nullptr };
  const char* facade_check = "BOOL vantorel::comm_rms_facade::is_check_facade()";
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
      {worked, 999999999, 1234, 1, 7, "f()", "",
       "[2026-12-04 09:05:07.999999][0000001234] [ INF][0007] f\t"},
      {worked, 999, 0, 8, 12345, "a::b::c(int)", "m",
       "[2026-12-04 09:05:07.000000][0000000000] [!WRN][12345] b::c\tm"},
      {worked, 5000, 4294967295UL, 0, -1, "x", "m",
       "[2026-12-04 09:05:07.000005][4294967295] [****][-001] x\tm"},
      {{}, 0, 1, 3, 0, "f()", "m", "[1900-01-00 00:00:00.000000][0000000001] [****][0000] f\tm"},
      {far, -5000, 42, 261, 1, "f()", "m",
       "[10000-01-02 03:04:05.-00005][0000000042] [****][0001] f\tm"},
  };
  for (const row& r : rows) {
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
  expect_as_vsnprintf("server_path_name[%s] size[%d]", "abc", 3);
  expect_as_vsnprintf("%d|%d|%d", INT_MIN, INT_MAX, 0);
  expect_as_vsnprintf("100%% done%%");
  expect_as_vsnprintf("%x|%X|%u", 255u, 0xABCu, 4294967295u);
  expect_as_vsnprintf("[%5d][%-3d]Ret[%#08X]", 42, 7, 0x12u);
  expect_as_vsnprintf("%s|%.2s|%5.1f", "t", "abc", 2.25);
  expect_as_vsnprintf("%s", long_text.c_str());
  expect_as_vsnprintf("%s%d", long_text.c_str(), 5);
  expect_as_vsnprintf("%.1277s%s%s", long_text.c_str(), "ab", "c");
}

TEST(ShortFunctionName, CutsClassAndMember) {
  const std::string long_name(3000, 'n');
  const char* cases[][2] = {
      {"RETCODE vantorel::comm_rms_facade::get_rfb_status(COMM_RMS_RFB_GET_STATUS_INFO&)",
       "comm_rms_facade::get_rfb_status"},
      {"virtual vantorel::comm_rms_facade::~comm_rms_facade()",
       "comm_rms_facade::~comm_rms_facade"},
      {"virtual void vantorel::comm_rms_facade::dispatch(LONG, char*, UINT, GEN_IPC_SVC)",
       "comm_rms_facade::dispatch"},
      {"RETCODE comm_rms_initial()", "RETCODE comm_rms_initial"},
      {"no parenthesis a::b::c", "no parenthesis a::b::c"},
      {"void single::call(a::b)", "void single::call"},
      {"::f(int)", "::f"},
      {"x:::y(int)", ":y"},
      {":ab::c(", ":ab::c"},
      {":::f()", ":f"},
      {"a:b::c::d(", "c::d"},
      {long_name.c_str(), long_name.c_str()}};
  for (const auto& c : cases) {
    size_t length = 0;
    const char* start = vantorel::comm_rms_short_function_name(c[0], &length);
    EXPECT_EQ(std::string(start, length), std::string(c[1]).substr(0, 2048));
  }
}

}  // namespace
