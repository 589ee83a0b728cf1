// The simulator's model and rmsctl's command parser, without processes.
// Malformed and arbitrary messages to the model: the fuzz target
// service_model and its corpus.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dump_view.h"
#include "history_text.h"
#include "rmsctl_commands.h"
#include "service_model.h"

namespace ct = comm_rms_tools;

namespace {

struct exchange {
  ct::service_reply reply;
  char note[ct::kNoteSize];
  int32_t word(size_t offset) const {
    int32_t w;
    std::memcpy(&w, reply.bytes + offset, sizeof w);
    return w;
  }
};

exchange send(ct::service_model& model, long id, const void* request, size_t length) {
  exchange e;
  model.handle(id, request, length, e.reply, e.note, sizeof e.note);
  return e;
}

exchange send_register(ct::service_model& model, const char* url, const char* path) {
  COMM_RMS_REGISTER_SERVER_INFO info = {};
  std::strcpy(info.url, url);
  std::strcpy(info.server_pathname, path);
  return send(model, 3, &info, sizeof info);
}

// Ids 4 and 5 share the layout: a path, then a word.
exchange send_path_word(ct::service_model& model, long id, const char* path, int32_t word = 0) {
  COMM_RMS_UNREGISTER_SERVER_INFO info = {};
  std::strcpy(info.server_pathname, path);
  info.is_terminated = word;
  return send(model, id, &info, sizeof info);
}

}  // namespace

TEST(ServiceModel, NewestServerAndRequestLines) {
  ct::service_model model;
  ASSERT_TRUE(model.set_connect_result("/srv/b", -7));
  const COMM_RMS_SERVER_PATH_INFO zero = {};
  std::vector<std::string> notes;
  notes.push_back(send_register(model, "vnc://a", "/srv/a").note);
  notes.push_back(send_register(model, "vnc://b", "/srv/b").note);
  notes.push_back(send_register(model, "vnc://a2\n", "/srv/a").note);  // replaced, now newest
  exchange e = send(model, 1, &zero, sizeof zero);
  notes.push_back(e.note);
  EXPECT_EQ(e.reply.length, 268u);
  EXPECT_STREQ(reinterpret_cast<const char*>(e.reply.bytes + 4), "/srv/a");
  EXPECT_EQ(e.word(264), 6);
  e = send_path_word(model, 5, "/srv/b");
  notes.push_back(e.note);
  EXPECT_EQ(e.reply.length, 268u);
  EXPECT_EQ(e.word(264), -7);
  notes.push_back(send_path_word(model, 4, "/srv/c", 1).note);
  EXPECT_EQ(model.server_count(), 2u);
  EXPECT_EQ(notes, (std::vector<std::string>{
                       "request[1] id[3] length[514] register path[/srv/a] url[vnc://a] added "
                       "servers[1] -> 0x00000000 ok",
                       "request[2] id[3] length[514] register path[/srv/b] url[vnc://b] added "
                       "servers[2] -> 0x00000000 ok",
                       "request[3] id[3] length[514] register path[/srv/a] url[vnc://a2?] "
                       "replaced servers[2] -> 0x00000000 ok",
                       "request[4] id[1] length[264] path server_path_name[/srv/a] size[6] -> "
                       "0x00000000 ok",
                       "request[5] id[5] length[264] connect-result path[/srv/b] "
                       "app_ws_error_code[-7] -> 0x00000000 ok",
                       "request[6] id[4] length[264] unregister path[/srv/c] is_terminated[1] "
                       "servers[2] -> 0x00000104 unknown-path",
                   }));
}

TEST(RmsctlCommands, FillsTheRecordsOfSeveralCommands) {
  std::vector<ct::command> out;
  std::string error;
  const std::string url(256, 'u');
  ASSERT_TRUE(
      ct::parse_commands({"register", "--path=/srv/a", "--url", url, "unregister", "--terminated",
                          "-3", "--path", std::string(259, 'p'), "connect-result", "--path", "/c",
                          "rfb-status", "--word", "0xFFFFFFFE", "path", "dump"},
                         out, error))
      << error;
  ASSERT_EQ(out.size(), 6u);
  EXPECT_EQ(out[0].register_info.url, url);
  EXPECT_STREQ(out[0].register_info.server_pathname, "/srv/a");
  EXPECT_EQ(out[1].unregister_info.server_pathname, std::string(259, 'p'));
  EXPECT_EQ(out[1].unregister_info.is_terminated, -3);
  EXPECT_STREQ(out[2].connect_info.server_path_name, "/c");
  EXPECT_EQ(out[3].rfb_info.status, -2);
  EXPECT_EQ(out[5].kind, ct::command_kind::dump);
  EXPECT_EQ(ct::split_words(" \tpath  dump\r"), (std::vector<std::string>{"path", "dump"}));
}

TEST(RmsctlCommands, RejectsWhatWouldNotFitOrParse) {
  const std::string long_text(257, 'x');
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"path", "--path", "/a"}, "path: unknown option '--path'"},
      {{"register", "--url", "u"}, "register: missing --path"},
      {{"register", "--url", long_text, "--path", "/a"},
       "register: url longer than 256 characters"},
      {{"register", "--url", "--path", "/a"}, "register: --url needs a value"},
      {{"connect-result", "--path", "/a", "--path", "/b"}, "connect-result: --path given twice"},
      {{"register", "--url", "u", "--path", long_text},
       "register: path longer than 256 characters"},
      {{"unregister", "--path", long_text + "xxx"}, "unregister: path longer than 259 characters"},
      {{"rfb-status", "--word", "2147483648"},
       "rfb-status: --word '2147483648' is not a 32-bit number"},
      {{"unregister", "--path", "/a", "--terminated", "0x100000000"},
       "unregister: --terminated '0x100000000' is not a 32-bit number"},
      {{"register", "--url=u", "--path="}, "register: empty --path"},
      {{"connect-result", "--path", ""}, "connect-result: empty --path"},
  };
  for (const auto& c : cases) {
    std::vector<ct::command> out(1);
    std::string error;
    EXPECT_FALSE(ct::parse_commands(c.first, out, error));
    EXPECT_EQ(error, c.second);
    EXPECT_TRUE(out.empty());
  }
}

TEST(DumpView, ReadsWholeCutAndDamagedDumps) {
  namespace ht = history_text;
  const std::string stamp = "2026-12-04 09:05:07.042153][0000000042";
  const std::string record =
      ht::regist("1", stamp, "vnc://a", "/a", "0") + ht::unregist(ht::kZeroStamp, 0, "", 0, "0");
  const std::string second =
      ht::regist("2", stamp, "u", "/b", "261") +
      ht::unregist("2026-12-04 09:05:09.542153][0000000042", 2, "/c", 1, "0");
  const std::string line1 = "[2026-12-04 09:05:07.042153][42] [@ERR][0505] f::g\tretry is over.";
  const std::string line2 = "[2026-12-04 10:00:00.000000][43] [ INF][0157] f::h\ta\tb";
  const std::string whole = ht::section() + record + second + ht::operation_log() + line1 + "\n";
  struct {
    std::string text;
    size_t connections, entries;
    std::vector<std::string> problems;
  } cases[] = {
      {whole + line2 + "\n", 2, 2, {}},
      {whole + line2.substr(0, 20),
       2,
       1,
       {"line 40: not a trace line: \"[2026-12-04 10:00:00\"",
        "line 40: the last line has no end (cut short?)"}},
      {ht::section() + record.substr(0, 200),
       1,
       0,
       {"line 8: cut short in record [ID:1] after 3 of 15 lines",
        "line 8: the last line has no end (cut short?)"}},
      {ht::section() + "[ID:9]\n" + second,
       1,
       0,
       {"line 4: outside any record: \"[ID:9]\"", "line 20: cut short before the operation log"}},
      {"hello\n", 0, 0, {"line 1: expected \"" + std::string(80, '=') + "\", found \"hello\""}},
  };
  for (const auto& c : cases) {
    const ct::dump_contents dump = ct::parse_dump(c.text);
    EXPECT_EQ(dump.connections.size(), c.connections) << c.text;
    EXPECT_EQ(dump.entries.size(), c.entries) << c.text;
    EXPECT_EQ(dump.problems, c.problems) << c.text;
  }
  const ct::dump_contents dump = ct::parse_dump(cases[0].text);
  EXPECT_EQ(dump.connections[1].url, "u");
  EXPECT_EQ(ct::connection_duration(dump.connections[1]), "2.500000 s");
  EXPECT_EQ(dump.entries[1].message, "a\tb");
  EXPECT_EQ(ct::render_dump_text(dump, {}),
            "Connections: 2\n"
            "ID  path  URL      registered at               unregistered at                     "
            "duration    results               calls\n"
            "1   /a    vnc://a  2026-12-04 09:05:07.042153  still registered                    "
            "-           0 ok                  1 / 0\n"
            "2   /b    u        2026-12-04 09:05:07.042153  2026-12-04 09:05:09.542153 (as /c)  "
            "2.500000 s  261 no-server / 0 ok  1 / 2\n"
            "\nOperation log: 2 of 2 lines\n" +
                line1 + "\n" + line2 + "\n");
  const struct {
    ct::log_filter filter;
    size_t shown;  // of line1 (ERR, thread 42, 09:05) and line2 (INF, thread 43, 10:00)
  } filters[] = {
      {{"err,wrn", "", "", ""}, 1},
      {{"INF", "43", "", ""}, 1},
      {{"", "4", "", ""}, 0},
      {{"", "", "f::", ""}, 2},
      {{"", "", "", "2026-12-04 09:30"}, 1},
      {{"", "", "", "09:05:07"}, 2},
      {{"", "", "", "10:01"}, 0},
  };
  for (const auto& f : filters) {
    EXPECT_EQ(ct::filter_error(f.filter), "");
    EXPECT_EQ(size_t(ct::filter_matches(f.filter, dump.entries[0])) +
                  ct::filter_matches(f.filter, dump.entries[1]),
              f.shown)
        << f.filter.level << f.filter.thread << f.filter.function << f.filter.since;
  }
  EXPECT_NE(ct::filter_error({"", "", "", "yesterday"}), "");
}
