// The simulator's model and the tools' command lines, without processes.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "rmsctl_commands.h"
#include "service_model.h"
#include "service_options.h"

namespace ct = comm_rms_tools;

namespace {

struct exchange {
  ct::service_reply reply;
  char note[ct::kNoteSize];
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

exchange send_with_path(ct::service_model& model, long id, const char* path, int32_t word = 0) {
  COMM_RMS_UNREGISTER_SERVER_INFO info = {};
  std::strcpy(info.server_pathname, path);
  info.is_terminated = word;
  return send(model, id, &info, sizeof info);
}

COMM_RMS_SERVER_PATH_INFO path_record(const exchange& e) {
  COMM_RMS_SERVER_PATH_INFO info;
  std::memcpy(&info, e.reply.bytes + 4, sizeof info);
  return info;
}

int32_t word_at(const exchange& e, size_t offset) {
  int32_t word;
  std::memcpy(&word, e.reply.bytes + offset, sizeof word);
  return word;
}

}  // namespace

TEST(ServiceModel, ServersLifecycleAndRequestLines) {
  ct::service_model model;
  ASSERT_TRUE(model.set_connect_result("/srv/b", -7));
  std::vector<std::string> notes;
  auto note = [&notes](const exchange& e) {
    notes.push_back(e.note);
    return e;
  };
  const COMM_RMS_SERVER_PATH_INFO zero = {};
  note(send(model, 1, &zero, sizeof zero));
  note(send_register(model, "vnc://a", "/srv/a"));
  note(send_register(model, "vnc://b", "/srv/b"));
  exchange e = note(send(model, 1, &zero, sizeof zero));
  EXPECT_EQ(e.reply.length, 268u);
  EXPECT_STREQ(path_record(e).server_path_name, "/srv/b");
  EXPECT_EQ(path_record(e).size, 6);
  e = note(send_register(model, "vnc://a2\n", "/srv/a"));  // replaces and becomes newest
  EXPECT_EQ(model.server_count(), 2u);
  EXPECT_STREQ(path_record(note(send(model, 1, &zero, sizeof zero))).server_path_name, "/srv/a");
  e = note(send_with_path(model, 5, "/srv/b"));
  EXPECT_EQ(e.reply.length, 268u);
  EXPECT_EQ(word_at(e, 264), -7);
  const int32_t rfb_word = 99;
  e = note(send(model, 6, &rfb_word, sizeof rfb_word));
  EXPECT_EQ(e.reply.length, 8u);
  EXPECT_EQ(word_at(e, 4), 1);
  note(send_with_path(model, 4, "/srv/a", 1));
  note(send_with_path(model, 4, "/srv/a"));
  note(send_with_path(model, 4, "/srv/b"));
  e = note(send(model, 6, &rfb_word, sizeof rfb_word));
  EXPECT_EQ(word_at(e, 4), 0);
  note(send_with_path(model, 5, "/srv/b"));

  const std::vector<std::string> expected = {
      "request[1] id[1] length[264] path none registered -> 0x00000105 no-server",
      "request[2] id[3] length[514] register path[/srv/a] url[vnc://a] added servers[1] -> "
      "0x00000000 ok",
      "request[3] id[3] length[514] register path[/srv/b] url[vnc://b] added servers[2] -> "
      "0x00000000 ok",
      "request[4] id[1] length[264] path server_path_name[/srv/b] size[6] -> 0x00000000 ok",
      "request[5] id[3] length[514] register path[/srv/a] url[vnc://a2?] replaced servers[2] -> "
      "0x00000000 ok",
      "request[6] id[1] length[264] path server_path_name[/srv/a] size[6] -> 0x00000000 ok",
      "request[7] id[5] length[264] connect-result path[/srv/b] app_ws_error_code[-7] -> "
      "0x00000000 ok",
      "request[8] id[6] length[4] rfb-status status[1] -> 0x00000000 ok",
      "request[9] id[4] length[264] unregister path[/srv/a] is_terminated[1] servers[1] -> "
      "0x00000000 ok",
      "request[10] id[4] length[264] unregister path[/srv/a] is_terminated[0] servers[1] -> "
      "0x00000104 unknown-path",
      "request[11] id[4] length[264] unregister path[/srv/b] is_terminated[0] servers[0] -> "
      "0x00000000 ok",
      "request[12] id[6] length[4] rfb-status status[0] -> 0x00000000 ok",
      "request[13] id[5] length[264] connect-result path[/srv/b] not registered -> 0x00000104 "
      "unknown-path",
  };
  EXPECT_EQ(notes, expected);
}

TEST(ServiceModel, RefusesBadRequestsAndForcesCodes) {
  ct::service_model model;
  unsigned char bytes[600] = {};
  EXPECT_EQ(send(model, 2, bytes, 264).reply.code, ct::SERVICE_UNKNOWN_MESSAGE);
  EXPECT_EQ(send(model, -1, bytes, 4).reply.code, ct::SERVICE_UNKNOWN_MESSAGE);
  EXPECT_EQ(send(model, 3, bytes, 513).reply.code, ct::SERVICE_BAD_LENGTH);
  EXPECT_EQ(send(model, 3, nullptr, 514).reply.code, ct::SERVICE_BAD_LENGTH);
  EXPECT_EQ(send(model, 6, bytes, 0).reply.code, ct::SERVICE_BAD_LENGTH);
  EXPECT_EQ(send(model, 3, bytes, 514).reply.code, ct::SERVICE_BAD_TEXT);  // empty path
  std::memset(bytes, 'x', sizeof bytes);
  EXPECT_EQ(send(model, 3, bytes, 514).reply.code, ct::SERVICE_BAD_TEXT);
  EXPECT_EQ(send(model, 4, bytes, 264).reply.code, ct::SERVICE_BAD_TEXT);
  EXPECT_EQ(send(model, 5, bytes, 264).reply.code, ct::SERVICE_BAD_TEXT);
  EXPECT_EQ(model.server_count(), 0u);
  for (unsigned i = 0; i < ct::kMaxServers; ++i) {
    ASSERT_EQ(send_register(model, "u", ("/p" + std::to_string(i)).c_str()).reply.code, 0);
  }
  EXPECT_EQ(send_register(model, "u", "/one-too-many").reply.code, ct::SERVICE_TABLE_FULL);
  EXPECT_EQ(send_register(model, "u2", "/p3").reply.code, ct::SERVICE_OK);  // replace still fits

  ASSERT_TRUE(model.force_code(5, 0x77));
  const exchange e = send_with_path(model, 5, "/p1");
  EXPECT_EQ(word_at(e, 0), 0x77);
  EXPECT_EQ(e.reply.length, 268u);  // the record still follows the forced word
  EXPECT_NE(std::string(e.note).find("-> 0x00000077 forced"), std::string::npos);
  EXPECT_EQ(send_with_path(model, 4, "/p1").reply.code, ct::SERVICE_OK);
}

TEST(ServiceModel, SurvivesRandomRequests) {
  ct::service_model model;
  std::mt19937 random(1234);
  unsigned char bytes[600];
  for (int round = 0; round < 5000; ++round) {
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(random() % 4 == 0 ? 0 : random());
    const long id = static_cast<long>(random() % 9) - 1;
    const size_t lengths[] = {4, 264, 514, random() % sizeof bytes};
    const exchange e = send(model, id, bytes, lengths[random() % 4]);
    ASSERT_LE(e.reply.length, ct::kMaxReply);
    ASSERT_EQ(word_at(e, 0), e.reply.code);
    ASSERT_LT(std::strlen(e.note), sizeof e.note);
    ASSERT_EQ(std::strchr(e.note, '\n'), nullptr);
  }
}

TEST(RmsctlCommands, FillsRecordsOfSeveralCommands) {
  std::vector<ct::command> out;
  std::string error;
  const std::string url(256, 'u');
  ASSERT_TRUE(ct::parse_commands(
      {"register", "--path", "/srv/a", "--url", url, "unregister", "--terminated", "-3", "--path",
       std::string(259, 'p'), "path", "connect-result", "--path", "/c", "rfb-status", "--word",
       "0xFFFFFFFE", "rfb-status", "dump"},
      out, error))
      << error;
  ASSERT_EQ(out.size(), 7u);
  EXPECT_EQ(std::string(out[0].register_info.url), url);
  EXPECT_STREQ(out[0].register_info.server_pathname, "/srv/a");
  EXPECT_EQ(std::string(out[1].unregister_info.server_pathname), std::string(259, 'p'));
  EXPECT_EQ(out[1].unregister_info.is_terminated, -3);
  EXPECT_EQ(out[2].kind, ct::command_kind::path);
  EXPECT_STREQ(out[3].connect_info.server_path_name, "/c");
  EXPECT_EQ(out[4].rfb_info.status, -2);
  EXPECT_EQ(out[5].rfb_info.status, 0);
  EXPECT_EQ(out[6].kind, ct::command_kind::dump);
  EXPECT_EQ(ct::split_words(" \tregister  --url u\r"),
            (std::vector<std::string>{"register", "--url", "u"}));
}

TEST(RmsctlCommands, RejectsBadInputWithClearMessages) {
  const std::string long_text(257, 'x');
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "no command given"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"path", "--path", "/a"}, "path: unknown option '--path'"},
      {{"register", "--url", "u"}, "register: missing --path"},
      {{"unregister", "--path"}, "unregister: --path needs a value"},
      {{"register", "--url", "--path", "/a"}, "register: --url needs a value"},
      {{"connect-result", "--path", "/a", "--path", "/b"}, "connect-result: --path given twice"},
      {{"register", "--url", long_text, "--path", "/a"},
       "register: url longer than 256 characters"},
      {{"register", "--url", "u", "--path", long_text},
       "register: path longer than 256 characters"},
      {{"unregister", "--path", long_text + "xxx"}, "unregister: path longer than 259 characters"},
      {{"rfb-status", "--word", "12x"}, "rfb-status: --word '12x' is not a 32-bit number"},
      {{"rfb-status", "--word", "2147483648"},
       "rfb-status: --word '2147483648' is not a 32-bit number"},
      {{"unregister", "--path", "/a", "--terminated", "0x100000000"},
       "unregister: --terminated '0x100000000' is not a 32-bit number"},
      {{"path", "rfb-status", "--word", ""}, "rfb-status: --word '' is not a 32-bit number"},
  };
  for (const auto& c : cases) {
    std::vector<ct::command> out(1);
    std::string error;
    EXPECT_FALSE(ct::parse_commands(c.first, out, error));
    EXPECT_EQ(error, c.second);
    EXPECT_TRUE(out.empty());
  }
}

TEST(ServiceOptions, ParsesAndRejects) {
  ct::service_options options;
  std::string error;
  const char* good[] = {"svc",    "--refuse-checks",  "3",      "--delay-ms",
                        "20",     "--exit-after",     "5",      "--force-code",
                        "6=0x55", "--connect-result", "/a=b=-4"};
  ASSERT_TRUE(ct::parse_service_options(11, good, options, error)) << error;
  EXPECT_EQ(options.refuse_checks, 3);
  EXPECT_EQ(options.delay_ms, 20);
  EXPECT_EQ(options.exit_after, 5);
  EXPECT_EQ(options.forced_codes, (std::vector<std::pair<long, int32_t>>{{6, 0x55}}));
  EXPECT_EQ(options.connect_results, (std::vector<std::pair<std::string, int32_t>>{{"/a=b", -4}}));
  const std::vector<std::pair<std::vector<const char*>, std::string>> bad = {
      {{"svc", "--delay-ms", "-5"}, "--delay-ms: '-5' is not a count (0 to 2147483647)"},
      {{"svc", "--exit-after"}, "--exit-after needs a value"},
      {{"svc", "--force-code", "x=1"}, "--force-code: 'x=1' is not ID=CODE"},
      {{"svc", "--connect-result", "/a"}, "--connect-result: '/a' is not PATH=CODE"},
      {{"svc", "--bogus"}, "unknown option '--bogus'"},
  };
  for (const auto& c : bad) {
    EXPECT_FALSE(ct::parse_service_options(static_cast<int>(c.first.size()), c.first.data(),
                                           options, error));
    EXPECT_EQ(error, c.second);
  }
}
