// The service client against the test platform: creation of the facade,
// the client lookup and the readiness check (each scenario in a fresh
// process), then the five requests against a ready service with a client:
// the bytes that go out, the results and records that come back, history
// and trace lines.
#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <thread>
#include <tuple>

#include "comm_rms/comm_rms.h"
#include "history_text.h"
#include "log/comm_rms_ucom_log.h"
#include "test_platform.h"
#include "test_support.h"

using namespace history_text;
using vantorel::comm_rms_facade;

namespace {

using lines = std::vector<std::string>;
using bytes = std::vector<unsigned char>;

// Lines taken out of the log store, without their time, thread and NUL.
lines stored_lines() {
  lines taken;
  const char gap[] = "] ";  // the first one ends the thread
  for (bytes e; vantorel::comm_rms_ucom_log::get_instance()->pop_log(e) == 0;)
    taken.emplace_back(std::search(e.begin(), e.end(), gap, gap + 2) + 2, e.end() - 1);
  return taken;
}

// The rendered connection history.
std::string history() {
  static char text[1 << 16];  // room for far more records than these tests make
  FILE* file = fmemopen(text, sizeof text, "w");
  vantorel::comm_rms_ucom_log::get_instance()->output_information_log_(file);
  return std::fclose(file), text;
}

const char kRetry[] = "[ INF][0509] comm_rms_facade::is_check_facade\tcheck server - retry is ";
const char kOver[] = "[@ERR][0505] comm_rms_facade::is_check_facade\tcheck server - retry is over.";

RETCODE rfb_status() {
  COMM_RMS_RFB_GET_STATUS_INFO info{};
  return comm_rms_facade::get_instance()->get_rfb_status(info);
}

void client_missing_at_creation() {
  fake::set_client_available(false);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(comm_rms_initial(), 0);
  EXPECT_EQ(stored_lines(), lines{"[@ERR][0462] comm_rms_facade::initial\tmc_client_ is null."});
  EXPECT_EQ(fake::trace_lines().size(), 1u);  // its printed text: the tools' tests
  for (const fake::trace_line& p : fake::trace_lines())
    EXPECT_EQ(std::tie(p.kind, p.module, p.category), std::tuple(0, 0x340Eu, 0x102u));

  fake::never_ready();  // a failing check looks nothing up
  EXPECT_EQ(rfb_status(), 1);
  EXPECT_EQ(fake::calls().get_client_calls.load(), 1);
  fake::ready_at_check(1);  // a ready one does, and still finds none
  stored_lines();
  EXPECT_EQ(comm_rms_facade::get_instance()->register_server(COMM_RMS_REGISTER_SERVER_INFO{}), 1);
  EXPECT_EQ(stored_lines(),
            (lines{"[@ERR][0522] comm_rms_facade::is_check_facade\tmc_client_ is null.",
                   "[@ERR][0209] comm_rms_facade::register_server\tmc_client_ is null."}));
  EXPECT_EQ(history().find("[ID:"), std::string::npos);
  EXPECT_TRUE(fake::sent_messages().empty());

  fake::set_client_available(true);  // found once, never looked up again
  for (int i = 0; i < 2; ++i) EXPECT_EQ(rfb_status(), 0);
  EXPECT_EQ(fake::calls().get_client_calls.load(), 3);
  EXPECT_EQ(fake::sent_messages().size(), 2u);
}

// One check, then at most 100 retries 300 ms apart; any answer but 1 is
// "not ready", also one whose low 32 bits are 1.
void readiness_retries_at_most_hundred_times() {
  const long wide_one = sizeof(long) > 4 ? static_cast<long>(0x100000001LL) : 2;
  for (long answer : {1L, 101L, 0L, 7L, -1L, wide_one}) {
    fake::reset();
    const bool ready = answer == 1 || answer == 101;
    ready ? fake::ready_at_check(static_cast<int>(answer)) : fake::never_ready(answer);
    EXPECT_EQ(rfb_status(), ready ? 0 : 1) << answer;
    const int retries = answer == 1 ? 0 : 100;
    lines expected;
    for (int n = 1; n <= retries; ++n) expected.push_back(kRetry + std::to_string(n) + " times.");
    if (!ready) expected.push_back(kOver);
    EXPECT_EQ(std::tuple(fake::calls().check_calls.load(), fake::sleep_arguments(), stored_lines(),
                         fake::trace_lines().size(), fake::sent_messages().size()),
              std::tuple(retries + 1, std::vector<unsigned long>(retries, 300), expected,
                         size_t{!ready}, size_t{ready}));
  }
}

// Two threads inside the first creation of the facade (through `call`) and
// of the store (through a trace), slowed by the platform.
void first_creations(std::thread (&threads)[2], RETCODE (*call)()) {
  fake::slow_creation(10);
  threads[0] = std::thread(call);
  threads[1] = std::thread([] { comm_rms_operation_log(1, 1, 1, "void a::b()", "x"); });
  while (fake::calls().get_client_calls == 0 || fake::registrations().empty()) sched_yield();
}

// A fork meanwhile waits for both: the child finds them made, no lock held.
// Each round starts from a fresh copy of this process; it outwaits its child.
void forks_during_first_creation_never_hang() {
  int hung = 0;
  for (int forks = 0; forks < 300 && hung == 0; ++forks) {
    const pid_t round = fork();
    if (round == 0) {
      std::thread threads[2];
      first_creations(threads, comm_rms_initial);
      for (std::thread& thread : threads) thread.detach();  // no thread is left unjoined
      _exit(test_support::in_child([] {
        comm_rms_operation_log(1, 1, 2, "void a::c()", "child");
        return comm_rms_initial();
      }));
    }
    hung += test_support::wait_child(round, 10000) != 0;
  }
  EXPECT_EQ(hung, 0);
}

// A cancellation waits for the creation to end, and a racing call for the
// one facade: one lookup, one store registered (none freed while the
// console holds it), and the calls after it go through.
void cancelled_or_racing_first_creations() {
  std::thread threads[2];
  first_creations(threads, rfb_status);
  for (std::thread& thread : threads) pthread_cancel(thread.native_handle());
  EXPECT_EQ(rfb_status(), 0);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(std::make_tuple(fake::calls().get_client_calls.load(), fake::registrations().size()),
            std::make_tuple(1, size_t{1}));
  EXPECT_EQ(stored_lines(), lines{"[ INF][0001] void a::b\tx"});  // the trace went through
}

const auto facade = []() -> comm_rms_facade& { return *comm_rms_facade::get_instance(); };

// A request's record, given and read back as raw bytes.
template <typename Record, auto request>
RETCODE on_record(unsigned char* raw) {
  Record record;
  std::memcpy(&record, raw, sizeof record);
  const RETCODE result = (facade().*request)(record);
  std::memcpy(raw, &record, sizeof record);
  return result;
}

// Message id, record size, reply capacity, the request on a raw record.
using request_case = std::tuple<long, size_t, unsigned int, RETCODE (*)(unsigned char*)>;
using F = comm_rms_facade;
const request_case cases[] = {
    {1, 264, 268, on_record<COMM_RMS_SERVER_PATH_INFO, &F::get_server_path_name>},
    {3, 514, 4, on_record<COMM_RMS_REGISTER_SERVER_INFO, &F::register_server>},
    {4, 264, 4, on_record<COMM_RMS_UNREGISTER_SERVER_INFO, &F::unregister_server>},
    {5, 264, 268, on_record<COMM_RMS_CONNECT_RESULT_INFO, &F::get_server_connect_result>},
    {6, 4, 8, on_record<COMM_RMS_RFB_GET_STATUS_INFO, &F::get_rfb_status>}};
const request_case &path = cases[0], &connect = cases[3], &rfb = cases[4];

bytes pattern(size_t size, unsigned char seed) {
  bytes raw(size);
  return std::iota(raw.begin(), raw.end(), seed), raw;
}

}  // namespace

TEST(FacadeConnection, FirstCreationClientLookupAndReadiness) {
  // The forks create in their children only: the process stays fresh.
  IN_FRESH_PROCESS(forks_during_first_creation_never_hang(); cancelled_or_racing_first_creations());
  IN_FRESH_PROCESS(client_missing_at_creation(); readiness_retries_at_most_hundred_times());
}

// Per row: the record goes out as it lies in memory (the path name is the
// service's to fill: its request is all zero), the reply's first word comes
// back, and the record is kept, copied back whole or only its error code.
TEST(FacadeRequests, SendTheRecordReturnTheWordAndCopyBackByEachRequestsRule) {
  enum { kept, whole, code_only };
  const bytes full = pattern(268, 90), none;
  const std::tuple<const request_case&, RETCODE, bytes, int> rows[] = {
      {path, 0, full, whole},        {path, 9, full, kept},
      {path, 0, none, whole},        {path, 0, bytes(4), whole},
      {connect, 0, full, code_only}, {connect, -9, full, code_only},
      {connect, 0, none, code_only}, {rfb, 0, full, whole},
      {rfb, 0x01020304, full, kept}, {rfb, 0, none, whole},
      {cases[1], 0, full, kept},     {cases[1], 1, full, kept},
      {cases[2], 0, full, kept},     {cases[2], BMC_MC_CHANNEL_FAILURE, full, kept}};
  for (auto [c, word, reply, copy] : rows) {
    const auto [msg_id, size, capacity, call] = c;
    fake::reset();
    if (!reply.empty()) std::memcpy(reply.data(), &word, sizeof word);
    fake::set_reply(reply);  // none: the channel writes nothing
    const bytes before = pattern(size, 200);
    bytes after = before, expected = before;
    EXPECT_EQ(call(after.data()), word);
    ASSERT_EQ(fake::sent_messages().size(), 1u) << msg_id;
    const fake::sent_message s = fake::sent_messages()[0];
    EXPECT_EQ(std::tuple(s.flags, s.msg_id, s.reply_capacity, s.facade == "f_comm_rms", s.request),
              std::tuple(0L, msg_id, capacity, true, msg_id == 1 ? bytes(size) : before));
    reply.resize(268);  // what the reply did not reach reads as zero
    if (copy == whole) expected.assign(reply.begin() + 4, reply.begin() + 4 + before.size());
    if (copy == code_only) std::memcpy(&expected[260], &reply[264], 4);
    EXPECT_EQ(after, expected) << msg_id << " " << word;
  }
}

// A completed send is recorded (a failed check records nothing); the
// information lines show the caller's record, cut at its array's end, also
// when nothing was sent.
TEST(FacadeRequests, HistoryAndInformationLinesOnEveryPath) {
  fake::reset();
  stored_lines();
  const std::string before = history();
  COMM_RMS_REGISTER_SERVER_INFO server{"rfb://panel", "/run/panel"};
  COMM_RMS_UNREGISTER_SERVER_INFO ours{"/run/panel", 1}, other{"other", 0};
  COMM_RMS_SERVER_PATH_INFO path_info;  // no NUL: its size reads "AAAA" if the text ran on
  std::memset(&path_info, 'A', sizeof path_info);
  COMM_RMS_CONNECT_RESULT_INFO connect_info{"/run/x", 3};
  fake::set_reply(bytes(4, 0xFF));  // the reply word -1, in either byte order
  EXPECT_EQ(facade().register_server(server) + facade().unregister_server(ours), -2);
  facade().get_server_path_name(path_info);
  fake::never_ready();
  EXPECT_EQ(facade().register_server(server) + facade().unregister_server(other), 2);
  facade().get_server_connect_result(connect_info);
  const std::string added = history().substr(before.size());
  EXPECT_EQ(added.find("[ID:"), added.rfind("[ID:"));  // one record, the completed one:
  EXPECT_NE(added.find(field(layout::url, "rfb://panel") + field(layout::url_length, "11")),
            std::string::npos);
  EXPECT_NE(added.find(field(layout::regist_result, "-1") + "\n    Unregist"), std::string::npos);
  const std::string tail = field(layout::is_terminated, "1") + field(layout::unregist_result, "-1");
  EXPECT_EQ(added.substr(added.size() - tail.size()), tail);
  const lines stored = stored_lines();
  ASSERT_EQ(stored.size(), 305u);  // the first, 3 x (100 retries, retry over), the last
  EXPECT_EQ(stored[0], "[ INF][0157] comm_rms_facade::get_server_path_name\tserver_path_name[" +
                           std::string(260, 'A') + "] size[1094795585]");
  EXPECT_EQ(stored[304],
            "[ INF][0329] comm_rms_facade::get_server_connect_result\t"
            "server_path_name[/run/x] app_ws_error_code[3]");
}
