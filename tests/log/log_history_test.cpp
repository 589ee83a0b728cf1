// The connection history as rendered into the dump file, compared as whole
// text for each sequence of register and unregister calls.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fake_platform.h"
#include "history_text.h"
#include "log/connection_history.h"
#include "log_test_util.h"

namespace {

using std::string;
using vantorel::connection_history;

const string kHeader = history_text::section();
const string kZero = history_text::kZeroStamp;
using history_text::regist;
using history_text::unregist;

string render(const connection_history& history) {
  char* data = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&data, &size);
  history.render(stream);
  std::fclose(stream);
  string text(data, size);
  std::free(data);
  return text;
}

COMM_RMS_REGISTER_SERVER_INFO reg(const char* url, const char* path) {
  COMM_RMS_REGISTER_SERVER_INFO info = {};
  std::strcpy(info.url, url);
  std::strcpy(info.server_pathname, path);
  return info;
}

COMM_RMS_UNREGISTER_SERVER_INFO unreg(const char* path, int terminated) {
  COMM_RMS_UNREGISTER_SERVER_INFO info = {};
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
  void at(int second, int32_t nsec) { fake::set_clock(1796375100u + second, nsec); }
  string stamp(const char* time) {
    return "2026-12-04 09:05:" + string(time) + "][" + log_test::thread_field();
  }
  connection_history history_;
};

TEST_F(History, EmptyThenRegisterOnly) {
  EXPECT_EQ(render(history_), kHeader);
  history_.complete(unreg("/srv/a", 1), 0);
  EXPECT_EQ(fake::calls().clock_reads.load(), 0);
  history_.append(reg("vnc://one", "/srv/one"), 0);
  EXPECT_EQ(render(history_), kHeader +
                                  regist("1", stamp("09.042153"), "vnc://one", "/srv/one", "0") +
                                  unregist(kZero, 0, "", 0, "0"));
}

TEST_F(History, UnregisterCompletesOnlyTheNewestAndCounts) {
  history_.append(reg("u1", "p1"), 0);
  at(10, 999);
  history_.append(reg("u2", "p2"), -5);
  at(11, 999999999);
  history_.complete(unreg("first", 1), 7);
  at(12, 2000);
  history_.complete(unreg("second", -1), -2147483647 - 1);
  EXPECT_EQ(render(history_), kHeader + regist("1", stamp("09.042153"), "u1", "p1", "0") +
                                  unregist(kZero, 0, "", 0, "0") +
                                  regist("2", stamp("10.000000"), "u2", "p2", "-5") +
                                  unregist(stamp("12.000002"), 2, "second", -1, "-2147483648"));
  history_.complete(unreg("third", 0), 0);
  EXPECT_NE(render(history_).find(unregist(stamp("12.000002"), 3, "third", 0, "0")), string::npos);
}

TEST_F(History, IdWrapsToOneAndTextsStayInTheirArrays) {
  history_.set_last_id(4294967294u);
  COMM_RMS_REGISTER_SERVER_INFO full;
  std::memset(&full, 'u', sizeof full.url);  // no NUL: the url runs into the next field
  std::memset(full.server_pathname, 's', sizeof full.server_pathname);
  COMM_RMS_UNREGISTER_SERVER_INFO unfull;
  std::memset(&unfull, 'x', sizeof unfull.server_pathname);
  unfull.is_terminated = 0;
  COMM_RMS_REGISTER_SERVER_INFO after_nul = reg("ab", "");
  after_nul.url[3] = 'z';  // bytes behind the NUL are not part of the text
  history_.append(full, 0);
  history_.complete(unfull, 0);
  history_.append(after_nul, 0);
  EXPECT_EQ(render(history_),
            kHeader + regist("-1", stamp("09.042153"), string(257, 'u'), string(257, 's'), "0") +
                unregist(stamp("09.042153"), 1, string(260, 'x'), 0, "0") +
                regist("1", stamp("09.042153"), "ab", "", "0") + unregist(kZero, 0, "", 0, "0"));
}

}  // namespace
