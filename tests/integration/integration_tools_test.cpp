// The tools as a user runs them: dumps, the console from outside, bad input.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <thread>

#include "history_text.h"
#include "test_support.h"

using namespace test_support;

namespace {

constexpr const char* kDumpFile = fixed_dump_dir::kFile;

// Time stamps, thread ids and this process's own trace position vary; the
// all-zero stamp of an empty unregister part does not.
std::string masked(const std::string& text) {
  static const std::regex stamp(
      R"(\[(?!1900-01-00 00:00:00\.000000\]\[0{10}\])\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}\]\[\d{10,}\])");
  static const std::regex session(R"(\[\d{4}\] session::open\trmsctl session pid\[\d+\])");
  return std::regex_replace(std::regex_replace(text, stamp, "[T][TH]"), session,
                            "[LINE] session::open\trmsctl session pid[PID]");
}

using history_text::operation_log;
using history_text::section;

// One record with both halves, or (terminated < 0) a register only.
std::string history_record(const std::string& url, const std::string& path, int terminated) {
  return history_text::regist("1", "T][TH", url, path, "0") +
         (terminated < 0 ? history_text::unregist(history_text::kZeroStamp, 0, "", 0, "0")
                         : history_text::unregist("T][TH", 1, path, terminated, "0"));
}

}  // namespace

TEST(Tools, DumpHoldsHistoryAndTraceLines) {
  fixed_dump_dir guard;
  REQUIRE_FIXED_DUMP_DIR(guard);
  run_dir dir;
  process service;
  ASSERT_TRUE(start_service(service, COMM_RMS_SERVICE, dir, {"--connect-result", "/srv/a=7"}));
  std::string out;
  EXPECT_EQ(run(words(std::string(RMSCTL) +
                      " register --url vnc://h:5900 --path /srv/a path connect-result --path /srv/a"
                      " unregister --path /srv/a --terminated 1 dump"),
                dir, &out),
            0);
  const std::string file =
      section() + history_record("vnc://h:5900", "/srv/a", 1) + operation_log() +
      "[T][TH] [ INF][0157] comm_rms_facade::get_server_path_name\tserver_path_name[/srv/a] "
      "size[6]\n"
      "[T][TH] [ INF][0329] comm_rms_facade::get_server_connect_result\tserver_path_name[/srv/a] "
      "app_ws_error_code[7]\n"
      "[T][TH] [ INF][LINE] session::open\trmsctl session pid[PID]\n";
  EXPECT_EQ(masked(out),
            "register: RETCODE[0x00000000]\n"
            "path: RETCODE[0x00000000] server_path_name[/srv/a] size[6]\n"
            "connect-result: RETCODE[0x00000000] server_path_name[/srv/a] app_ws_error_code[7]\n"
            "unregister: RETCODE[0x00000000]\n"
            "dump: result[0] file[/tmp/debug_file/comm_rms_client_debug.log]\n" +
                file);
  EXPECT_EQ(masked(read_file(kDumpFile)), file);
}

TEST(Tools, UcomReachesALiveShell) {
  fixed_dump_dir guard;
  REQUIRE_FIXED_DUMP_DIR(guard);
  run_dir dir;
  process service;
  ASSERT_TRUE(start_service(service, COMM_RMS_SERVICE, dir));
  process shell;
  ASSERT_TRUE(
      shell.start({RMSCTL, "shell"}, dir.path() + "/shell.out", dir.path() + "/shell.err", true));
  const std::string pid = std::to_string(shell.pid());
  ASSERT_TRUE(shell.out_has("rmsctl shell: pid[" + pid + "] ready\n"));
  ASSERT_TRUE(shell.write_stdin("register --url u --path /p\n"));
  ASSERT_TRUE(shell.out_has("register: RETCODE[0x00000000]\n"));

  std::string out;
  std::string err;
  EXPECT_EQ(run({UCOM, pid, "commRMS", "UCGETMEMINFO"}, dir, &out, &err), 0) << err;
  EXPECT_EQ(out, "result[0]\n");
  EXPECT_EQ(masked(read_file(kDumpFile)),
            section() + history_record("u", "/p", -1) + operation_log() +
                "[T][TH] [ INF][LINE] session::open\trmsctl session pid[PID]\n");

  EXPECT_EQ(run({UCOM, pid, "nobody", "x"}, dir, &out, &err), 1);
  EXPECT_EQ(out, "result[-1000]\n");
  EXPECT_EQ(err, "ucom: process " + pid + " has no receiver named 'nobody'\n");

  shell.signal(SIGSTOP);  // its console cannot answer now
  EXPECT_EQ(run({UCOM, "--timeout", "300", pid, "commRMS", "x"}, dir, &out, &err), 3);
  EXPECT_EQ(err, "ucom: no reply from process " + pid + " within 300 ms\n");
  shell.signal(SIGCONT);

  ASSERT_TRUE(shell.write_stdin("bogus\nquit\n"));
  EXPECT_EQ(shell.wait(), 1);  // the bad line counts as a failure
  EXPECT_EQ(shell.err(), "rmsctl: unknown command 'bogus'\n");
}

TEST(Tools, UcomExplainsUndeliverableCommands) {
  run_dir dir;
  process service;
  ASSERT_TRUE(start_service(service, COMM_RMS_SERVICE, dir));
  const std::string pid = std::to_string(service.pid());
  std::string err;
  EXPECT_EQ(run({UCOM, pid, "commRMS", "UCGETMEMINFO"}, dir, nullptr, &err), 3);
  EXPECT_EQ(err, "ucom: process " + pid + " has no debug console in " + dir.path() + "\n");

  // A console socket that nobody serves any more.
  const std::string stale = dir.path() + "/ucom." + pid + ".sock";
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, stale.c_str());
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
  EXPECT_EQ(run({UCOM, pid, "commRMS", "UCGETMEMINFO"}, dir, nullptr, &err), 3);
  EXPECT_EQ(err, "ucom: process " + pid + " refused the request (Connection refused)\n");

  process gone;
  ASSERT_TRUE(gone.start({UCOM, "--help"}, dir.path() + "/gone.out"));
  const std::string gone_pid = std::to_string(gone.pid());
  ASSERT_EQ(gone.wait(), 0);
  EXPECT_EQ(run({UCOM, gone_pid, "commRMS", "x"}, dir, nullptr, &err), 3);
  EXPECT_EQ(err, "ucom: no such process " + gone_pid + "\n");
  EXPECT_EQ(run({UCOM, "12ab", "commRMS", "x"}, dir, nullptr, &err), 2);
  EXPECT_EQ(err, "ucom: '12ab' is not a process id\n(try ucom --help)\n");
}

// A watcher renames a FIFO over each fresh dump before rmsctl reads it back:
// rmsctl must neither block on it nor print it.
TEST(Tools, DumpReadBackNeverBlocksOnAFileSwappedIn) {
  fixed_dump_dir guard;
  REQUIRE_FIXED_DUMP_DIR(guard);
  run_dir dir;
  const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, fixed_dump_dir::kPath, IN_CLOSE_WRITE), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> swaps{0};
  std::thread watcher([&] {
    const std::string fifo = std::string(fixed_dump_dir::kPath) + "/planted";
    alignas(inotify_event) char events[4096];
    while (!stop) {
      pollfd p{watch, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0 || read(watch, events, sizeof events) <= 0) continue;
      if (mkfifo(fifo.c_str(), 0600) == 0 && rename(fifo.c_str(), kDumpFile) == 0) ++swaps;
    }
  });
  int refused = 0;
  for (int round = 0; round < 3; ++round) {
    unlink(kDumpFile);
    process rmsctl;
    rmsctl.start({RMSCTL, "dump"}, dir.path() + "/dump.out", dir.path() + "/dump.err");
    const int code = rmsctl.wait(5000);
    EXPECT_NE(-1, code) << "rmsctl dump blocked on the file swapped in";
    if (code == -1) break;
    refused += code == 1 && rmsctl.err().find("not printed") != std::string::npos;
  }
  stop = true;
  watcher.join();
  close(watch);
  std::printf("[ figures  ] dump read-back: 3 dumps, %d swapped for a FIFO, %d refused\n",
              swaps.load(), refused);
}

TEST(Tools, BadInputSendsNothing) {
  run_dir dir;
  process service;
  ASSERT_TRUE(start_service(service, COMM_RMS_SERVICE, dir));
  const std::pair<std::string, std::string> cases[] = {
      {"rmsctl register --url u --path /a rfb-status --word zz",
       "rmsctl: rfb-status: --word 'zz' is not a 32-bit number\n(try rmsctl --help)\n"},
      {"rmsctl shell path", "rmsctl: shell takes no arguments\n"},
      {"rmsctl connect-result --path /a\x1b[2K",
       "rmsctl: connect-result: path contains a control character\n(try rmsctl --help)\n"},
      {"rmsctl register --url u\x7f --path /a",
       "rmsctl: register: url contains a control character\n(try rmsctl --help)\n"},
      {"service --delay-ms -1",
       "comm-rms-service: --delay-ms: '-1' is not a count (0 to 2147483647)\n(try --help)\n"}};
  for (const auto& c : cases) {
    std::vector<std::string> argv = words(c.first);
    argv[0] = argv[0] == "rmsctl" ? RMSCTL : COMM_RMS_SERVICE;
    std::string out, err;
    EXPECT_EQ(run(argv, dir, &out, &err), 2) << c.first;
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, c.second);
  }
  service.signal(SIGINT);
  EXPECT_EQ(service.wait(), 0);
  EXPECT_EQ(service.out(), "comm-rms-service: serving f_comm_rms at " + dir.path() +
                               "/f_comm_rms.sock\ncomm-rms-service: stopped after 0 requests\n");
}

TEST(Tools, ServiceForcesCodesAndExitsAfterN) {
  run_dir dir;
  process service;
  ASSERT_TRUE(start_service(service, COMM_RMS_SERVICE, dir,
                            {"--exit-after", "2", "--force-code", "6=0x55"}));
  std::string out;
  EXPECT_EQ(run({RMSCTL, "rfb-status", "--word", "4", "path"}, dir, &out), 1);
  EXPECT_EQ(out,
            "rfb-status: RETCODE[0x00000055] status[4]\n"
            "path: RETCODE[0x00000105] server_path_name[] size[0]\n");
  EXPECT_EQ(service.wait(), 0);
  EXPECT_TRUE(service.out_has("comm-rms-service: stopped after 2 requests\n"));
}
