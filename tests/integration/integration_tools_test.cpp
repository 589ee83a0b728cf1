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
#include <cstdlib>
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
            "register: RETCODE[0x00000000] ok\n"
            "path: RETCODE[0x00000000] ok server_path_name[/srv/a] size[6]\n"
            "connect-result: RETCODE[0x00000000] ok server_path_name[/srv/a] "
            "app_ws_error_code[7]\n"
            "unregister: RETCODE[0x00000000] ok\n"
            "dump: result[0] file[" +
                std::string(kDumpFile) + "]\n" + file);
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
  ASSERT_TRUE(shell.out_has("register: RETCODE[0x00000000] ok\n"));

  std::string out;
  std::string err;
  EXPECT_EQ(run({UCOM, "--timeout=0x1000", pid, "commRMS", "UCGETMEMINFO"}, dir, &out, &err), 0)
      << err;
  EXPECT_EQ(out, std::string("result[0]\ndump file: ") + kDumpFile + "\n");
  EXPECT_EQ(masked(read_file(kDumpFile)),
            section() + history_record("u", "/p", -1) + operation_log() +
                "[T][TH] [ INF][LINE] session::open\trmsctl session pid[PID]\n");
  EXPECT_EQ(run({UCOM, "--list"}, dir, &out), 0);
  EXPECT_TRUE(std::regex_search(out, std::regex("(^|\n)" + pid + " "))) << out;

  // The viewer on the dump the library just wrote.
  EXPECT_EQ(run({RMSCTL, "show", kDumpFile, "--level=inf"}, dir, &out, &err), 0);
  EXPECT_EQ(err, "");
  EXPECT_TRUE(std::regex_search(
      out, std::regex(R"(\n1   /p    u    \S+ \S+  still registered  -  +0 ok +1 / 0\n)")))
      << out;
  EXPECT_NE(out.find("Operation log: 1 of 1 lines\n"), std::string::npos) << out;
  const std::string page = dir.path() + "/dump.html";
  EXPECT_EQ(run({RMSCTL, "show", kDumpFile, "--html", page}, dir, &out, &err), 0) << err;
  const std::string html = read_file(page);
  EXPECT_EQ(html.find("http"), std::string::npos);  // nothing from outside
  EXPECT_NE(html.find("still registered"), std::string::npos);

  // Without the dump directory the dump fails, and ucom says why.
  ::unlink(kDumpFile);
  ::rmdir(fixed_dump_dir::kPath);
  EXPECT_EQ(run({UCOM, pid, "commRMS", "UCGETMEMINFO"}, dir, &out, &err), 1);
  EXPECT_EQ(out, "result[-1]\n");
  EXPECT_EQ(err,
            "ucom: the dump was not written: /tmp/debug_file/ is missing or unsafe: create it "
            "with install -d -m 0700 /tmp/debug_file/\n");

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
       "comm-rms-service: --delay-ms: '-1' is not a count (0 to 2147483647)\n(try --help)\n"},
      {"rmsctl unregister --path=", "rmsctl: unregister: empty --path\n(try rmsctl --help)\n"},
      {"rmsctl --timeout 0 path",
       "rmsctl: --timeout needs a number of seconds (1 or more)\n(try rmsctl --help)\n"}};
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
  EXPECT_EQ(run({RMSCTL, "--json", "rfb-status", "--word=0x4", "path"}, dir, &out), 1);
  EXPECT_EQ(out,
            "{\"command\":\"rfb-status\",\"code\":85,\"name\":null,\"status\":4}\n"
            "{\"command\":\"path\",\"code\":261,\"name\":\"no-server\",\"server_path_name\":\"\","
            "\"size\":0}\n");
  EXPECT_EQ(service.wait(), 0);
  EXPECT_TRUE(service.out_has("comm-rms-service: stopped after 2 requests\n"));
}

// A request that finds no service says what it waits for, gives up at
// --timeout, and neither that nor Ctrl-C leaves its console socket behind.
TEST(Tools, WaitsAloudAndLeavesNothingBehind) {
  run_dir dir;
  const std::string waiting = "rmsctl: waiting for the service f_comm_rms at " + dir.path() +
                              "/f_comm_rms.sock (not there yet) (up to 30 s)...\n";
  std::string err;
  setenv("VANTOREL_REPLY_TIMEOUT_MS", "5s", 1);
  EXPECT_EQ(run({RMSCTL, "--timeout=1", "path"}, dir, nullptr, &err), 3);
  unsetenv("VANTOREL_REPLY_TIMEOUT_MS");
  EXPECT_NE(err.find("rmsctl: VANTOREL_REPLY_TIMEOUT_MS='5s' is not 1 to 600000 ms; using "
                     "5000 ms\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find(waiting + "rmsctl: path: gave up after 1 s without an answer\n"),
            std::string::npos)
      << err;
  process client;
  ASSERT_TRUE(
      client.start({RMSCTL, "path"}, dir.path() + "/client.out", dir.path() + "/client.err"));
  const std::string socket = dir.path() + "/ucom." + std::to_string(client.pid()) + ".sock";
  ASSERT_TRUE(wait_until([&] { return client.err().find(waiting) != std::string::npos; }, 20000));
  EXPECT_EQ(::access(socket.c_str(), F_OK), 0);
  client.signal(SIGINT);
  EXPECT_EQ(client.wait(), 128 + SIGINT);
  EXPECT_NE(::access(socket.c_str(), F_OK), 0);
  EXPECT_EQ(read_file(dir.path() + "/client.out"), "");

  // The simulator names what is wrong with its run directory.
  const std::string file = dir.path() + "/file", open = dir.path() + "/open";
  std::fclose(std::fopen(file.c_str(), "w"));
  ::mkdir(open.c_str(), 0700);
  ::chmod(open.c_str(), 0777);
  const std::pair<std::string, std::string> dirs[] = {
      {dir.path() + "/no/such", " does not exist (and could not be created)"},
      {file, " is not a directory"},
      {open, " has mode 0777; it needs 0700 (chmod 0700 " + open + ")"}};
  for (const auto& d : dirs) {
    setenv("VANTOREL_RUN_DIR", d.first.c_str(), 1);
    EXPECT_EQ(run({COMM_RMS_SERVICE}, dir, nullptr, &err), 1);
    EXPECT_EQ(err, "comm-rms-service: cannot serve f_comm_rms: the run directory " + d.first +
                       d.second + "\n");
  }
  setenv("VANTOREL_RUN_DIR", dir.path().c_str(), 1);
}

// The page in a real browser: its script runs and filters by the address.
TEST(Tools, DumpPageFiltersInABrowser) {
  if (system("command -v chromium >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "chromium is not installed (Debian package chromium)";
  }
  run_dir dir;
  const std::string dump = dir.path() + "/dump.log", page = dir.path() + "/dump.html";
  std::ofstream(dump) << section() + operation_log() +
                             "[2026-12-04 09:05:07.042153][42] [@ERR][0505] f::g\tx\n"
                             "[2026-12-04 09:05:08.042153][42] [ INF][0157] f::h\ty\n";
  ASSERT_EQ(run({RMSCTL, "show", dump, "--html", page}, dir), 0);
  process browser;
  ASSERT_TRUE(browser.start({"chromium", "--headless", "--no-sandbox", "--disable-gpu",
                             "--dump-dom", "file://" + page + "#level=ERR"},
                            dir.path() + "/dom.out", dir.path() + "/dom.err", false, true));
  EXPECT_EQ(browser.wait(60000), 0) << browser.err();
  EXPECT_NE(browser.out().find("data-ready=\"1\""), std::string::npos) << browser.out();
  EXPECT_NE(browser.out().find("1 of 2 lines shown"), std::string::npos) << browser.out();
}
