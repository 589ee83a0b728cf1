// The dump viewer's pure parts: its reader against the library's own
// writer, its filter, and what it shows of the files users meet.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <random>

#include "dump_view.h"
#include "history_text.h"
#include "log/connection_history.h"
#include "test_platform.h"
#include "test_support.h"

using namespace comm_rms_tools;
namespace ht = history_text;

namespace {

// What `run` writes to a stream while it reads `text` from another.
template <typename Run>
std::string through(const std::string& text, Run run) {
  char* written = nullptr;
  size_t length = 0;
  FILE* in = fmemopen(const_cast<char*>(text.c_str()), text.size() + 1, "r");
  FILE* out = open_memstream(&written, &length);
  run(in, static_cast<long>(text.size()), out);
  std::fclose(in), std::fclose(out);
  const std::string result(written, length);
  std::free(written);
  return result;
}

// What `show` prints of `dump`, its problems in place.
std::string shown(const std::string& dump, const log_filter& filter, bool wide = false) {
  return through(dump, [&](FILE* in, long n, FILE* out) {
    EXPECT_TRUE(show_text(in, n, out, out, filter, wide, "d"));
  });
}

// What the history's writer renders of it.
std::string rendered(const vantorel::connection_history& history) {
  return through("", [&](FILE*, long, FILE* out) { history.render(out); });
}

// Fields, each ended by a NUL; a connection as read back, or as expected.
std::string joined(std::initializer_list<std::string> fields) {
  std::string text;
  for (const std::string& field : fields) text += field + '\0';
  return text;
}
struct fields_read final : dump_sink {
  std::string text;
  void connection(const dump_connection& c) override {
    text += joined({c.id, c.regist_time + "][" + c.regist_thread, c.url, c.path, c.regist_result,
                    std::to_string(c.unregist_calls), c.unregist_time + "][" + c.unregist_thread,
                    c.unregist_path, c.is_terminated, c.unregist_result});
  }
};

const std::string kLine = "[2026-12-04 09:05:07.042153][0000000042] [@ERR][0505] f::g\tx";

}  // namespace

// Random records (texts of any bytes, newlines and full arrays too, IDs past
// 2147483647 and their wrap, results and flags of any sign) rendered by the
// writer, and read back field by field.
TEST(Show, ReadsBackRandomRecordsFieldByField) {
  std::mt19937 random(20261207);
  auto text = [&random](auto& field) {
    for (char& c : field) c = static_cast<char>(random() % 5 ? random() : '\n');
    return std::string(field, strnlen(field, sizeof field));
  };
  auto number = [&random](int32_t& n) {
    return std::to_string(n = static_cast<int32_t>(random()));
  };
  char when[64];
  std::snprintf(when, sizeof when, "2026-12-04 09:05:09.042153][%010lu",
                static_cast<unsigned long>(pthread_self()));
  fake::set_clock(1796375109u, 42153999);
  vantorel::connection_history history;
  uint32_t id = UINT32_MAX - 100;
  history.set_last_id(id);
  std::string expected;
  for (int i = 0; i < 200; ++i) {
    COMM_RMS_REGISTER_SERVER_INFO reg;
    COMM_RMS_UNREGISTER_SERVER_INFO unreg;
    int32_t result = 0;
    expected += joined({std::to_string(static_cast<int32_t>(id = id == UINT32_MAX ? 1 : id + 1)),
                        when, text(reg.url), text(reg.server_pathname), number(result)});
    history.append(reg, result);
    std::string last = joined({"0", ht::zero_stamp, "", "0", "0"});
    for (int calls = 1, n = static_cast<int>(random() % 3); calls <= n; ++calls) {
      last = joined({std::to_string(calls), when, text(unreg.server_pathname),
                     number(unreg.is_terminated), number(result)});
      history.complete(unreg, result);
    }
    expected += last;
  }
  fields_read back;
  const std::string problems =
      through(rendered(history) + ht::operation_log(),
              [&](FILE* in, long n, FILE* err) { EXPECT_TRUE(read_dump(in, n, back, err, "d")); });
  EXPECT_EQ(problems + back.text, expected);
}

// CRLF line ends, a cell wider than its column holding an escape sequence,
// a result beyond 32 bits, an ID that is no number, a NUL in a message (and
// the least 3-byte character), a short time field and a cut last line: read
// as far as it goes, shown cut at a character and escaped (only valid UTF-8
// without controls; whole with --wide), named where it could not be read;
// the filter takes levels in any case, the thread as a number and a time of
// day, and throws on no entry.
TEST(Show, ShowsOddDumpsSafely) {
  fake::set_clock(1796375107u, 42153999);
  vantorel::connection_history history;
  history.set_last_id(6);
  history.append({"vnc://h", "/pppppppppppppppppppppppppppppp\x1b[2K"}, 0);  // 30 p
  const std::string record = rendered(history).substr(ht::section().size());
  std::string damaged = record, bad_id = record, dump;
  damaged.replace(damaged.find(":[0]"), 4, ":[4294967296]");
  bad_id.replace(bad_id.find("[ID:"), 4, "[ID:x");
  const std::string odd = "\x1b[2K\xc2\x9b\xff\xe2\x82 \xc3\xa9\xe0\xa0\x80\xf0\x9f\x98\x80\\\n";
  for (const char c : ht::section() + record + damaged + bad_id + ht::operation_log() + kLine +
                          '\0' + odd + "[09:0][42] [ INF][0001] f\ty\n[2026-12-")
    dump += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(
      shown(dump, {"err,Inf", "0042", "f", "09:05"}),
      "Connections\nID           path                      URL                       "
      "registered at               unregistered at             results                     "
      "calls\n7            /pppppppppppppppppppp...  vnc://h                   "
      "2026-12-04 09:05:07.042153  still registered            0 ok                        "
      "1 / 0\nrmsctl: show: d: line 28: record line 8 of 15 not understood: \""
      "        Result                     :[4294967296]\"\nrmsctl: show: d: line 37: record line 1 "
      "of 15 not understood: \"[ID:x7]\"\n\nOperation log\n" +
          kLine +
          "\\x00\\x1b[2K\\xc2\\x9b\\xff\\xe2\\x82 \xc3\xa9\xe0\xa0\x80\xf0\x9f\x98\x80\\x5c\n"
          "rmsctl: show: d: line 57: not a trace line: \"[2026-12-\"\n"
          "rmsctl: show: d: line 57: the last line has no end (cut short?)\n"
          "1 of 2 lines shown\n");
  EXPECT_NE(shown(dump, {}, true).find("/" + std::string(30, 'p') + "\\x1b[2K  vnc://h"),
            std::string::npos);
  EXPECT_EQ(cut("abcdef", 6) + cut("abcdefg", 6) + cut("ab\xc3\xa9xyz", 6), "abcdefabc...ab...");
}

// What holds no dump or cannot be read fails (1) with its cause, never
// waiting on a FIFO or reading a device; an unknown filter value is refused
// (2) with the known ones.
TEST(Show, RefusesWhatItCannotShow) {
  const std::string dir = test_support::make_temp_dir("show"), dump = dir + "/dump ";
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
  std::ofstream(dir + "/text") << "hello\n";
  std::ofstream(dir + "/dump") << ht::section() + ht::operation_log();
  for (const std::string& c :
       {dir + " 1", dir + "/fifo 1", std::string("/dev/zero 1"), dir + "/text 1", dir + "/none 1",
        dump + "--level BOGUS 2", dump + "--thread abc 2", dump + "--since 9:05 2",
        dump + "--level Err,inf 0"}) {
    const std::vector<std::string> args = test_support::words("show " + c);
    EXPECT_EQ(run_show({args.begin(), args.end() - 1}), std::stoi(args.back())) << c;
  }
  test_support::remove_tree(dir);
  EXPECT_NE(filter_error({"ERR,x", "", "", ""}).find("of err,wrn,imp,inf,perform,other"),
            std::string::npos);
}
