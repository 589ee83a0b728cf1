// The dump viewer's pure parts: its reader against the library's own
// writer, and its filter, escaping and table on the files users meet.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstring>
#include <ctime>
#include <random>

#include "dump_view.h"
#include "history_text.h"
#include "log/connection_history.h"
#include "test_platform.h"

using namespace comm_rms_tools;
namespace ht = history_text;

namespace {

struct collected final : dump_sink {
  std::vector<dump_connection> connections;
  std::vector<dump_entry> entries;
  std::string problems;
  void begin(bool) override {}
  void connection(const dump_connection& c) override { connections.push_back(c); }
  void entry(const dump_entry& e) override { entries.push_back(e); }
  void problem(const std::string& what) override { problems += what + "\n"; }
};

// Reads `text` as a file of exactly its bytes (fmemopen wants one more).
template <typename Read>
bool from_text(const std::string& text, Read read) {
  FILE* in = fmemopen(const_cast<char*>(text.c_str()), text.size() + 1, "r");
  const bool dump = read(in, static_cast<long>(text.size()));
  std::fclose(in);
  return dump;
}

std::string as_text(const std::string& dump, bool wide, const log_filter& filter = {}) {
  char* text = nullptr;
  size_t length = 0;
  FILE* out = open_memstream(&text, &length);
  from_text(dump, [&](FILE* in, long n) { return show_text(in, n, out, filter, wide, "d"); });
  std::fclose(out);
  std::string result(text, length);
  std::free(text);
  return result;
}

const std::string kRecord =
    ht::regist("7", "2026-12-04 09:05:07.042153][0000000042", "vnc://h", "/a", "0") +
    ht::unregist(ht::zero_stamp, 0, "", 0, "0");
const std::string kLine = "[2026-12-04 09:05:07.042153][0000000042] [@ERR][0505] f::g\tx\n";

}  // namespace

// Random records rendered by the library read back field for field: texts
// of any bytes (newlines, brackets, a full array without NUL), IDs past
// 2147483647 and their wrap, results and flags of any sign.
TEST(Show, ReadsBackEveryFieldTheWriterRenders) {
  std::mt19937 random(20261207);
  auto text = [&random](char* field, size_t capacity) {
    std::memset(field, 0, capacity);
    const size_t n = random() % (capacity + 1);
    for (size_t i = 0; i < n; ++i) field[i] = static_cast<char>(1 + random() % 255);
    return std::string(field, n);
  };
  auto stamp = [&random]() {
    const time_t seconds = static_cast<time_t>(random());
    const long nsec = static_cast<long>(random() % 1000000000);
    fake::set_clock(static_cast<uint32_t>(seconds), static_cast<int32_t>(nsec));
    struct tm t {};
    gmtime_r(&seconds, &t);
    char when[40];
    const size_t n = std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &t);
    std::snprintf(when + n, sizeof when - n, ".%06ld", nsec / 1000);
    return std::string(when);
  };
  vantorel::connection_history history;
  uint32_t id = UINT32_MAX - 40;
  history.set_last_id(id);
  std::vector<dump_connection> want;
  for (int i = 0; i < 300; ++i) {
    const int32_t result = static_cast<int32_t>(random());
    if (want.empty() || random() % 2 == 0) {
      COMM_RMS_REGISTER_SERVER_INFO info;
      dump_connection c;
      c.url = text(info.url, sizeof info.url);
      c.path = text(info.server_pathname, sizeof info.server_pathname);
      c.regist_time = stamp();
      history.append(info, result);
      id = id == UINT32_MAX ? 1 : id + 1;
      c.id = std::to_string(static_cast<int32_t>(id));
      c.regist_result = std::to_string(result);
      c.regist_calls = 1;
      c.unregist_time = "1900-01-00 00:00:00.000000";
      c.unregist_result = c.is_terminated = "0";
      want.push_back(c);
    } else {
      COMM_RMS_UNREGISTER_SERVER_INFO info;
      dump_connection& c = want.back();
      c.unregist_path = text(info.server_pathname, sizeof info.server_pathname);
      info.is_terminated = static_cast<int32_t>(random());
      c.unregist_time = stamp();
      history.complete(info, result);
      c.is_terminated = std::to_string(info.is_terminated);
      c.unregist_result = std::to_string(result);
      ++c.unregist_calls;
    }
  }
  char* rendered = nullptr;
  size_t length = 0;
  FILE* file = open_memstream(&rendered, &length);
  history.render(file);
  std::fclose(file);
  collected got;
  ASSERT_TRUE(from_text(std::string(rendered, length) + ht::operation_log(),
                        [&](FILE* in, long n) { return read_dump(in, n, got); }));
  std::free(rendered);
  EXPECT_EQ(got.problems, "");
  ASSERT_EQ(got.connections.size(), want.size());
  const unsigned long self = static_cast<unsigned long>(pthread_self());
  for (size_t i = 0; i < want.size(); ++i) {
    const dump_connection& g = got.connections[i];
    const dump_connection& w = want[i];
    SCOPED_TRACE("record " + w.id);
    EXPECT_TRUE(g.complete);
    EXPECT_EQ(std::make_tuple(g.id, g.url, g.path, g.regist_time, g.regist_result, g.regist_calls),
              std::make_tuple(w.id, w.url, w.path, w.regist_time, w.regist_result, w.regist_calls));
    EXPECT_EQ(std::make_tuple(g.unregist_time, g.unregist_path, g.is_terminated, g.unregist_result,
                              g.unregist_calls),
              std::make_tuple(w.unregist_time, w.unregist_path, w.is_terminated, w.unregist_result,
                              w.unregist_calls));
    EXPECT_EQ(std::stoul(g.regist_thread), self);
    EXPECT_EQ(std::stoul(g.unregist_thread), w.unregist_calls > 0 ? self : 0);
  }
}

// Files users meet: what is read, and what is named as not read.
TEST(Show, ReadsOddFilesAndNamesWhatItCannot) {
  const std::string dump = ht::section() + kRecord + ht::operation_log() + kLine;
  const std::string crlf = [&dump] {
    std::string text;
    for (const char c : dump) text += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return text;
  }();
  const std::string kCut = "\"x" + std::string(76, 'y') + "...\"\n";
  std::string wide_result = kRecord;
  wide_result.replace(wide_result.find(":[0]"), 4, ":[4294967296]");
  const struct {
    std::string text;
    bool dump;
    size_t connections, entries;
    std::string problems;
  } cases[] = {
      {dump, true, 1, 1, ""},
      {crlf, true, 1, 1, ""},
      {"", false, 0, 0, ""},
      {"hello\n", false, 0, 0, ""},
      {std::string(80, '=') + "\n", false, 0, 0, ""},
      {ht::section() + wide_result + ht::operation_log(), true, 0, 0,
       "line 12: record line 8 of 15 not understood: \"        Result                     "
       ":[4294967296]\"\n"},
      {dump.substr(0, dump.find("    Unregist")), true, 1, 0,
       "line 13: cut short in record [ID:7] after 9 of 15 lines\n"},
      {ht::section() + ht::operation_log() + "[2026-12-04 09:05][42] [ INF][0001] f\tm" +
           std::string(1, '\0') + "\x1b[2K\nx" + std::string(kMaxLine, 'y') + "\n" +
           kLine.substr(0, 9),
       true, 0, 1,
       "line 8: not a trace line: " + kCut + "line 8: longer than 16384 bytes, cut: " + kCut +
           "line 9: not a trace line: \"[2026-12-\"\n"
           "line 9: the last line has no end (cut short?)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 200));
    collected got;
    EXPECT_EQ(from_text(c.text, [&](FILE* in, long n) { return read_dump(in, n, got); }), c.dump);
    EXPECT_EQ(got.connections.size(), c.connections);
    EXPECT_EQ(got.entries.size(), c.entries);
    EXPECT_EQ(got.problems, c.problems);
  }
}

// One filter for the text and the page: unknown values are refused with the
// known ones, levels match in any case, and a short time field never throws.
TEST(Show, FilterRefusesUnknownValuesAndMatchesAnyEntry) {
  const struct {
    log_filter filter;
    std::string error;
  } refused[] = {
      {{"BOGUS", "", "", ""},
       "--level 'BOGUS': each level (comma-separated, any case) is one of "
       "ERR, WRN, IMP, INF, PERFORM, other"},
      {{"err,", "", "", ""}, "--level 'err,': each level"},
      {{"", "abc", "", ""}, "--thread 'abc' is not a thread number (decimal digits)"},
      {{"", "", "", "2026-12-04 09:05:07.0421530"}, "--since '2026-12-04 09:05:07.0421530' is not"},
      {{"", "", "", "9:05"}, "--since '9:05' is not"},
  };
  for (const auto& c : refused) EXPECT_EQ(filter_error(c.filter).rfind(c.error, 0), 0u) << c.error;
  dump_entry full{"2026-12-04 09:05:07.042153", "0000000042", "ERR", "0505", "ns::f", "x", ""};
  dump_entry short_time{"09:0", "42", "PERFORM", "1", "g", "y", ""};
  const struct {
    log_filter filter;
    bool full, short_time;
  } matching[] = {
      {{"err", "", "", ""}, true, false},      {{"inf,Perform", "", "", ""}, false, true},
      {{"", "42", "", ""}, true, true},        {{"", "0042", "f", ""}, true, false},
      {{"", "", "", "09:05:07"}, true, false}, {{"", "", "", "2026-12-04 09:06"}, false, false},
      {{"", "", "", "2026-12"}, true, false},
  };
  for (const auto& c : matching) {
    EXPECT_EQ(filter_error(c.filter), "");
    EXPECT_EQ(filter_matches(c.filter, full), c.full) << c.filter.level << c.filter.since;
    EXPECT_EQ(filter_matches(c.filter, short_time), c.short_time) << c.filter.level;
  }
}

// Bytes reach the terminal or the page only as valid UTF-8 without control
// characters; a cell is cut to its column at a character, marked.
TEST(Show, EscapesBytesAndCutsCells) {
  const struct {
    std::string in, shown;
  } bytes[] = {
      {std::string("a\0b", 3), "a\\x00b"},
      {"\x1b[2K\t\\", "\\x1b[2K\\x09\\x5c"},
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
      {"\xc2\x9b\xc0\xaf\xed\xa0\x80\xff\xe2\x82",
       "\\xc2\\x9b\\xc0\\xaf\\xed\\xa0\\x80\\xff\\xe2\\x82"},
  };
  for (const auto& b : bytes) EXPECT_EQ(printable(b.in), b.shown);
  EXPECT_EQ(printable("f\tm", true), "f\tm");
  EXPECT_EQ(cut("abcdef", 6), "abcdef");
  EXPECT_EQ(cut("abcdefg", 6), "abc...");
  EXPECT_EQ(cut("ab\xc3\xa9xyz", 6), "ab...");

  std::string record = kRecord;
  const std::string path = "/" + std::string(300, 'p') + "\x1b[2K";
  record.replace(record.find(":[/a]"), 5, ":[" + path + "]");
  record.replace(record.find(":[2]"), 4, ":[" + std::to_string(path.size()) + "]");
  const std::string dump = ht::section() + record + ht::operation_log() + kLine;
  const std::string table = as_text(dump, false);
  EXPECT_EQ(table.find('\x1b'), std::string::npos);
  EXPECT_NE(table.find("\n7            /" + std::string(20, 'p') + "...  vnc://h  "),
            std::string::npos)
      << table;
  EXPECT_NE(as_text(dump, true).find(std::string(300, 'p') + "\\x1b[2K  vnc://h"),
            std::string::npos);
  EXPECT_NE(as_text(dump, false, {"inf", "", "", ""}).find("Operation log\n0 of 1 lines shown\n"),
            std::string::npos);
}
