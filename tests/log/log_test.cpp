// Diagnostics: the trace formatter as a pure rendering (exact stored lines,
// tags, sinks by level, the message's formatting, the short function name),
// then the log store and its dump command: a creation that throws is tried
// again, the exact file a dump writes, the size bound, and the refusal of
// planted files and directories. (Racing creation: the facade's tests, same
// code.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "comm_rms/connect_history.h"
#include "history_text.h"
#include "log/comm_rms_ucom_log.h"
#include "log/trace_format.h"
#include "test_platform.h"
#include "test_support.h"

namespace {

namespace tf = vantorel::trace_format;

// The message as the formatter writes it, and as vsnprintf writes it.
__attribute__((format(printf, 1, 2))) void expect_as_vsnprintf(const char* format, ...) {
  char ours[tf::message_buffer], theirs[tf::message_buffer] = {};
  va_list args;
  va_start(args, format);
  const size_t length = tf::format_message(ours, format, args);
  va_end(args);
  va_start(args, format);
  std::vsnprintf(theirs, tf::message_limit, format, args);
  va_end(args);
  EXPECT_EQ(std::string(ours, length + 1), std::string(theirs, std::strlen(theirs) + 1)) << format;
}

TEST(TraceLine, StoredLineByteForByteAndLevelChoosesDropTagAndSinks) {
  // sec, min, hour, day, month - 1, year - 1900
  const struct tm worked { 7, 5, 9, 4, 11, 126, 0, 0, 0, 0, nullptr };
  const struct tm far { 5, 4, 3, 2, 0, 8100, 0, 0, 0, 0, nullptr };
  const struct tm early { 5, 4, 3, 2, 0, -1895, 0, 0, 0, 0, nullptr };
  // Per row: when, nanoseconds, thread, level, line, the name (as
  // comm_rms_short_function_name cuts it), the message and the stored line.
  using row =
      std::tuple<struct tm, long, unsigned long, int, int, const char*, const char*, const char*>;
  const row rows[] = {
      {worked, 999999999, 1234, 1, 7, "f", "",
       "[2026-12-04 09:05:07.999999][0000001234] [ INF][0007] f\t"},
      {worked, 999, 0, 8, 12345, "b::c", "m",
       "[2026-12-04 09:05:07.000000][0000000000] [!WRN][12345] b::c\tm"},
      {worked, 5000, 4294967295UL, 0, -1, "x", "m",
       "[2026-12-04 09:05:07.000005][4294967295] [****][-001] x\tm"},
      {far, -5000, 42, 261, 1, "f", "m",
       "[10000-01-02 03:04:05.-00005][0000000042] [****][0001] f\tm"},
      {early, 0, 42, 1, 1, "f", "m", "[05-01-02 03:04:05.000000][0000000042] [ INF][0001] f\tm"},
  };
  for (const auto& [when, nanoseconds, id, level, line, name, message, stored] : rows) {
    char date[tf::piece_buffer], thread[tf::piece_buffer], out[tf::line_buffer];
    const size_t length = tf::render_after_pieces(
        out, date, tf::render_date(date, when), thread, tf::render_thread(thread, id),
        {nanoseconds, level, line}, {name, std::strlen(name)}, message, std::strlen(message));
    EXPECT_EQ(std::string(out, length + 1), std::string(stored) + '\0');
  }

  // Per level: "s" stored, "p" printed, then the tag; empty when dropped.
  const std::pair<int, const char*> levels[] = {
      {0, "s[****]"},   {1, "s[ INF]"},   {2, "sp[ IMP]"},  {3, "sp[****]"},  {4, "s[****]"},
      {8, "sp[!WRN]"},  {16, "sp[@ERR]"}, {24, "sp[****]"}, {256, "s[****]"}, {260, "p[PERFORM]: "},
      {261, "p[****]"}, {32, ""},         {512, ""},        {33, ""},         {0x31F, ""},
      {-1, ""}};
  for (const auto& [level, expected] : levels) {
    const tf::tag tag = tf::tag_for(level);
    const std::string got = std::string(tf::is_stored(level) ? "s" : "") +
                            (tf::is_printed(level) ? "p" : "") + std::string(tag.text, tag.length);
    EXPECT_EQ(tf::passes_mask(level) ? got : "", expected) << level;
  }
}

TEST(TraceLine, MessageAsVsnprintfWritesItAndShortFunctionName) {
  const std::string long_text(3000, 'x');
  expect_as_vsnprintf("path[%s] size[%d] [%5d][%-3d]Ret[%#08X]", "abc", 3, 42, 7, 0x12u);
  expect_as_vsnprintf("%d|%d|%d 100%% done%%", INT_MIN, INT_MAX, 0);
  expect_as_vsnprintf("%s|%.2s|%5.1f", "t", "abc", 2.25);
  expect_as_vsnprintf("%s%d", long_text.c_str(), 5);
  expect_as_vsnprintf("%.1277s%s%s", long_text.c_str(), "ab", "c");

  // The short function name: class and member.
  const char* cases[][2] = {{"int f()", "int f"},   {"v s::c(a::b)", "v s::c"},
                            {"x:::y(int)", ":y"},   {":ab::c(", ":ab::c"},
                            {"a:b::c::d(", "c::d"}, {long_text.c_str(), long_text.c_str()}};
  for (const auto& c : cases) {
    size_t length = 0;
    const char* start = vantorel::comm_rms_short_function_name(c[0], &length);
    EXPECT_EQ(std::string(start, length), std::string(c[1]).substr(0, 2048));
  }
}

using std::string;
namespace fs = std::filesystem;
using namespace test_support;
const auto store = vantorel::comm_rms_ucom_log::get_instance;
const string kHead = history_text::section() + history_text::operation_log();

// Every entry of the store (NUL included), oldest first; leaves it empty.
std::vector<string> drain() {
  std::vector<string> lines;
  for (std::vector<unsigned char> entry; store()->pop_log(entry) == 0;)
    lines.emplace_back(entry.begin(), entry.end());
  return lines;
}

// A command as the console delivers it: a writable copy.
const auto command = [](string text) { return store()->ucom_usr_command(&text[0]); };
const auto push = [](const string& text) { store()->push_log(text.c_str(), text.size() + 1); };

TEST(LogStore, CreationThatThrowsIsTriedAgain) {
  IN_FRESH_PROCESS({
    fake::fail_next_registration();
    EXPECT_THROW(store(), std::bad_alloc);
    ASSERT_NE(store(), nullptr);
    ASSERT_EQ(fake::registrations().size(), 1u);
    EXPECT_EQ(fake::registrations()[0].name, vantorel::debug_dump::receiver_name);
  });
}

// The fixed path, in the private /tmp of this test process.
class FixedPath : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    REQUIRE_FIXED_DUMP_DIR(guard_);
    drain();
  }
  // The signature goes through one buffer: a caller may reuse it.
  void trace(int line, const char* message, const char* function = "void t::u::v()") {
    std::snprintf(function_, sizeof function_, "%s", function);
    comm_rms_operation_log(1, 1, line, function_, "%s", message);
  }
  string line(const string& tail, const char* date = "1970-01-01 00:00:00.000000") {
    char thread[16];
    std::snprintf(thread, sizeof thread, "%010lu", static_cast<unsigned long>(pthread_self()));
    return "[" + string(date) + "][" + thread + "] [ INF]" + tail + "\n";
  }
  string dump() {  // the file the dump command writes
    EXPECT_EQ(command("UCGETMEMINFO"), 0);
    return read_file(fixed_dump_dir::kFile);
  }
  fixed_dump_dir guard_;
  char function_[400] = {};
};

TEST_F(FixedPath, DumpsHistoryThenTheLinesSinceTheLastDumpWithinTheSizeBound) {
  trace(1, "first");
  for (const char* other : {"ucgetmeminfo", "UCGETMEMINFO ", ""}) EXPECT_EQ(command(other), 0);
  EXPECT_NE(access(fixed_dump_dir::kFile, F_OK), 0);

  trace(2, "second", "int t::w::v(char)");
  EXPECT_EQ(dump(), kHead + line("[0001] u::v\tfirst") + line("[0002] w::v\tsecond"));
  EXPECT_EQ(fs::status(fixed_dump_dir::kFile).permissions(), fs::perms(0600));
  EXPECT_EQ(dump(), kHead);

  comm_rms_register_server_log(COMM_RMS_REGISTER_SERVER_INFO{}, 0);
  fake::set_clock(86399, 5000);  // a new second: the date is rendered anew
  trace(3, "third");
  const string third = dump();
  EXPECT_EQ(third.find(history_text::section() + string(80, '-') + "\n[ID:1]\n"), 0u);
  const char* later = "1970-01-01 23:59:59.000005";
  const string tail = history_text::operation_log() + line("[0003] u::v\tthird", later);
  EXPECT_EQ(third.substr(third.size() - tail.size()), tail);

  const string name = string(300, 'n') + "::v";  // a signature longer than a cache entry
  for (int i = 0; i < 2; ++i) trace(4, "x", ("void a::" + name + "()").c_str());
  const string fourth = line("[0004] " + name + "\tx", later), again = dump();
  EXPECT_EQ(again.substr(again.size() - 2 * fourth.size()), fourth + fourth);

  // The size bound is tested before each entry.
  const size_t head = dump().size();  // history section and headings
  const string fits(102399 - head, 'a');
  for (const string& entry : {fits, string("b"), string("c")}) push(entry);
  EXPECT_EQ(dump().substr(head), fits + "\n");              // 102400 bytes in all
  EXPECT_EQ(drain(), std::vector<string>{string("c", 2)});  // "b" was lost

  for (const string& entry : {string("b"), fits, string("c")}) push(entry);
  EXPECT_EQ(dump().substr(head), "b\n");  // "c" would fit, but ended
  EXPECT_EQ(drain(), std::vector<string>{string("c", 2)});
}

// The dump must be refused and leave `victim` and the store as they were.
void expect_refused(const string& victim) {
  const string before = read_file(victim);
  push("kept");
  testing::internal::CaptureStdout();
  EXPECT_EQ(command("UCGETMEMINFO"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            string("File Open ERROR. ") + fixed_dump_dir::kFile + "\n");
  EXPECT_EQ(read_file(victim), before);
  EXPECT_EQ(drain(), std::vector<string>{string("kept", 5)});
}

TEST_F(FixedPath, SharedDirectoryServesWhilePlantedEntriesAreRefused) {
  const string dir = fixed_dump_dir::kPath, file = fixed_dump_dir::kFile, victim = dir + "victim";
  ASSERT_EQ(chmod(dir.c_str(), 0777), 0);  // anyone may plant entries, as on a device
  EXPECT_TRUE(chown(dir.c_str(), 65534, 65534) == 0 || geteuid() != 0);  // another user's
  std::ofstream(victim) << "precious";
  for (auto plant : {+[](const string&v, const string&f) { return symlink(v.c_str(), f.c_str()); },
                     +[](const string&v, const string&f) { return link(v.c_str(), f.c_str()); },
                     +[](const string&, const string&f) { return mkfifo(f.c_str(), 0600); }}) {
    ASSERT_EQ(plant(victim, file), 0);
    expect_refused(victim);  // a FIFO without blocking on it
    ASSERT_EQ(unlink(file.c_str()), 0);
  }
  std::ofstream(file) << "precious";
  if (chown(file.c_str(), 65534, 65534) == 0) {  // another user's file
    expect_refused(file);
    ASSERT_EQ(chown(file.c_str(), geteuid(), getegid()), 0);
  }
  close(0);  // the dump's descriptors take the lowest numbers: 0 must be free again after it
  EXPECT_EQ(command("UCGETMEMINFO"), 0);
  EXPECT_EQ(fcntl(0, F_GETFD), -1);
  EXPECT_EQ(read_file(file).find(history_text::section()), 0u);

  // A missing directory is not made, nor a symlink in its place used.
  const string moved = "/tmp/moved", bare = dir.substr(0, dir.size() - 1);
  ASSERT_EQ(rename(bare.c_str(), moved.c_str()), 0);
  expect_refused(moved + "/victim");
  EXPECT_NE(access(bare.c_str(), F_OK), 0);
  ASSERT_EQ(symlink(moved.c_str(), bare.c_str()), 0);
  expect_refused(moved + "/victim");
  ASSERT_EQ(unlink(bare.c_str()) | rename(moved.c_str(), bare.c_str()), 0);
}

}  // namespace
