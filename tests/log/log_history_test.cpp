// The connection history as rendered into the dump file, compared as whole
// text for each sequence of register and unregister calls.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "fake_platform.h"
#include "log/connection_history.h"
#include "log_test_util.h"

namespace {

using log_test::thread_field;
using vantorel::connection_history;

const std::string kHeader =
    "================================================================================\n"
    "Remote Panel Connect Information\n"
    "================================================================================\n";
const std::string kZeroTime = "1900-01-00 00:00:00.000000][0000000000";

std::string render(const connection_history& history) {
  char* data = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&data, &size);
  history.render(stream);
  std::fclose(stream);
  std::string text(data, size);
  std::free(data);
  return text;
}

std::string regist(const char* id, const std::string& when, const std::string& url,
                   const std::string& path, const char* result) {
  return "--------------------------------------------------------------------------------\n"
         "[ID:" +
         std::string(id) + "]\n    Regist[" + when + "] CallNum:[1]\n        Parameter\n" +
         "            url                    :[" + url + "]\n" +
         "            url_length             :[" + std::to_string(url.size()) + "]\n" +
         "            server_pathname        :[" + path + "]\n" +
         "            server_pathname_length :[" + std::to_string(path.size()) + "]\n" +
         "        Result                     :[" + result + "]\n\n";
}

std::string unregist(const std::string& when, int calls, const std::string& path, int terminated,
                     const char* result) {
  return "    Unregist[" + when + "] CallNum:[" + std::to_string(calls) + "]\n        Parameter\n" +
         "            server_pathname        :[" + path + "]\n" +
         "            server_pathname_length :[" + std::to_string(path.size()) + "]\n" +
         "            is_terminated          :[" + std::to_string(terminated) + "]\n" +
         "        Result                     :[" + result + "]\n";
}

COMM_RMS_REGISTER_SERVER_INFO reg(const char* url, const char* path) {
  COMM_RMS_REGISTER_SERVER_INFO info;
  std::memset(&info, 0, sizeof info);
  std::strcpy(info.url, url);
  std::strcpy(info.server_pathname, path);
  return info;
}

COMM_RMS_UNREGISTER_SERVER_INFO unreg(const char* path, int terminated) {
  COMM_RMS_UNREGISTER_SERVER_INFO info;
  std::memset(&info, 0, sizeof info);
  std::strcpy(info.server_pathname, path);
  info.is_terminated = terminated;
  return info;
}

class History : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    at(9, 42153000);
  }
  // 2026-12-04 09:05:<second> local time (the fake's local time is UTC).
  void at(int second, int32_t nanoseconds) {
    struct tm when = {};
    when.tm_year = 2026 - 1900;
    when.tm_mon = 11;
    when.tm_mday = 4;
    when.tm_hour = 9;
    when.tm_min = 5;
    when.tm_sec = second;
    fake::set_clock(static_cast<uint32_t>(timegm(&when)), nanoseconds);
  }
  std::string stamp(const char* time) {
    return "2026-12-04 09:05:" + std::string(time) + "][" + thread_field();
  }
  connection_history history_;
};

TEST_F(History, EmptyHistoryIsTheHeaderAndIgnoresUnregister) {
  EXPECT_EQ(render(history_), kHeader);
  history_.complete(unreg("/srv/a", 1), 0);
  EXPECT_EQ(fake::calls().clock_reads.load(), 0);
  EXPECT_EQ(render(history_), kHeader);
  history_.append(reg("u", "p"), 0);
  EXPECT_EQ(render(history_), kHeader + regist("1", stamp("09.042153"), "u", "p", "0") +
                                  unregist(kZeroTime, 0, "", 0, "0"));
}

TEST_F(History, UnregisterCompletesOnlyTheNewestRecord) {
  history_.append(reg("vnc://one", "/srv/one"), 0);
  at(10, 999);
  history_.append(reg("vnc://two", "/srv/two"), -5);
  at(11, 999999999);
  history_.complete(unreg("/srv/one", 1), 7);
  EXPECT_EQ(render(history_), kHeader +
                                  regist("1", stamp("09.042153"), "vnc://one", "/srv/one", "0") +
                                  unregist(kZeroTime, 0, "", 0, "0") +
                                  regist("2", stamp("10.000000"), "vnc://two", "/srv/two", "-5") +
                                  unregist(stamp("11.999999"), 1, "/srv/one", 1, "7"));
}

TEST_F(History, RepeatedUnregisterCountsAndKeepsTheLatest) {
  history_.append(reg("u", "p"), 0);
  at(20, 1000);
  history_.complete(unreg("first", 0), 3);
  at(21, 2000);
  history_.complete(unreg("second", -1), -2147483647 - 1);
  EXPECT_EQ(render(history_), kHeader + regist("1", stamp("09.042153"), "u", "p", "0") +
                                  unregist(stamp("21.000002"), 2, "second", -1, "-2147483648"));
}

TEST_F(History, IdWrapsToOneAndPrintsSigned) {
  history_.set_last_id(4294967294u);
  history_.append(reg("a", "b"), 0);
  history_.append(reg("c", "d"), 0);
  EXPECT_EQ(render(history_), kHeader + regist("-1", stamp("09.042153"), "a", "b", "0") +
                                  unregist(kZeroTime, 0, "", 0, "0") +
                                  regist("1", stamp("09.042153"), "c", "d", "0") +
                                  unregist(kZeroTime, 0, "", 0, "0"));
}

TEST_F(History, TextsAreBoundedByTheirArrays) {
  COMM_RMS_REGISTER_SERVER_INFO full;
  std::memset(full.url, 'u', sizeof full.url);  // no NUL: runs into the next field
  std::memset(full.server_pathname, 's', sizeof full.server_pathname);
  COMM_RMS_UNREGISTER_SERVER_INFO unfull;
  std::memset(unfull.server_pathname, 'x', sizeof unfull.server_pathname);
  unfull.is_terminated = 0;
  COMM_RMS_REGISTER_SERVER_INFO after_nul = reg("ab", "");
  after_nul.url[3] = 'z';  // bytes behind the NUL are not part of the text
  history_.append(full, 0);
  history_.complete(unfull, 0);
  history_.append(after_nul, 0);
  EXPECT_EQ(
      render(history_),
      kHeader + regist("1", stamp("09.042153"), std::string(257, 'u'), std::string(257, 's'), "0") +
          unregist(stamp("09.042153"), 1, std::string(260, 'x'), 0, "0") +
          regist("2", stamp("09.042153"), "ab", "", "0") + unregist(kZeroTime, 0, "", 0, "0"));
}

}  // namespace
