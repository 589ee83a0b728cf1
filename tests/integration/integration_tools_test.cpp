// The tools as a user runs them, with the library over the host platform:
// requests, dumps, the console from outside, bad input.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <tuple>

#include "test_support.h"

using namespace test_support;

const std::string kDumpFile = fixed_dump_dir::kFile;

// One service for the requests of a command line and of a shell, the
// dumps, the console from outside and bad input.
TEST(Tools, UcomReachesALiveShell) {
  fixed_dump_dir guard;
  REQUIRE_FIXED_DUMP_DIR(guard);
  run_dir dir;
  process service, shell;
  ASSERT_TRUE(start_service(service, COMM_RMS_SERVICE, dir, {"--connect-result", "/srv/a=7"}));
  ASSERT_TRUE(shell.start({RMSCTL, "--json", "shell"}, dir.path() + "/shell"));
  const std::string pid = std::to_string(shell.pid()), service_pid = std::to_string(service.pid());
  const std::string ucom = std::string(UCOM) + " --timeout=0x10000 ";
  const std::string ready = "rmsctl shell: pid[" + pid + "] ready\n";
  ASSERT_TRUE(shell.shows(ready));
  // Each command line with its exit code, its stdout then its stderr; bad
  // input is refused before anything is sent, and each way a console
  // command does not do what was asked is named. The command line's dump
  // also prints the file (its own layout is checked by the unit groups).
  const std::tuple<int, std::string, std::string> cases[] = {
      {0,
       std::string(RMSCTL) + " register --url vnc://h:5900 --path /srv/a path connect-result --path"
                             " /srv/a unregister --path /srv/a --terminated 1 dump",
       "register: RETCODE[0x00000000] ok\n"
       "path: RETCODE[0x00000000] ok server_path_name[/srv/a] size[6]\n"
       "connect-result: RETCODE[0x00000000] ok server_path_name[/srv/a] app_ws_error_code[7]\n"
       "unregister: RETCODE[0x00000000] ok\ndump: result[0] file[" +
           kDumpFile + "]\n"},
      {0, ucom + pid + " commRMS UCGETMEMINFO", "result[0]\ndump file: " + kDumpFile + "\n"},
      {0, ucom + pid + " commRMS ucgetmeminfo",  // the receiver answers 0 to it
       "result[0]\nucom: commRMS does not act on 'ucgetmeminfo' (its one command is "
       "UCGETMEMINFO); nothing done\n"},
      {1, COMM_RMS_SERVICE,
       "comm-rms-service: a service is already serving f_comm_rms at " + dir.path() +
           "/f_comm_rms.sock\n"},
      {3, ucom + service_pid + " commRMS UCGETMEMINFO",
       "ucom: process " + service_pid + " has no debug console in " + dir.path() + "\n"},
  };
  std::string out, err;
  const std::string first = dir.path() + "/first.log";  // the command line's dump, kept
  for (const auto& [code, line, said] : cases) {
    EXPECT_EQ(run(words(line), dir, &out, &err), code) << line;
    if (&line == &std::get<1>(cases[0])) std::ofstream(first) << read_file(kDumpFile);
    EXPECT_EQ(out + err, said + (&line == &std::get<1>(cases[0]) ? read_file(first) : ""));
  }

  // The viewer's page of that dump starts from the command line's filter
  // (the facade's two lines of three), and typing (the address) narrows it,
  // in a real browser where there is one (not under the emulator).
  if (std::strlen(COMM_RMS_TEST_EMULATOR) > 0 || system("command -v chromium >/dev/null") != 0) {
    std::printf("[   NOTE   ] no browser (Debian package chromium): the page is not checked\n");
  } else {
    const std::string page = dir.path() + "/dump.html";
    ASSERT_EQ(run({RMSCTL, "show", first, "--level=Inf", "--function=facade", "--html", page}, dir),
              0);
    process browser;
    ASSERT_TRUE(
        browser.start(words("chromium --headless --no-sandbox --disable-gpu --no-first-run "
                            "--disable-background-networking --user-data-dir=" +
                            dir.path() + "/profile --dump-dom file://" + page + "#text=connect"),
                      dir.path() + "/dom"));
    EXPECT_EQ(browser.wait(60000), 0) << browser.err();
    EXPECT_NE(browser.out().find("data-ready=\"1\""), std::string::npos) << browser.out();
    EXPECT_NE(browser.out().find("1 of 2 lines shown"), std::string::npos) << browser.out();
  }

  // A failed dump names what is in its way (to the shell: D the directory
  // d, F the file, E a directory of the test's), for ucom and for the
  // shell's own dump (its line goes to stderr, off the JSON objects): the
  // last case stays for it.
  // --json shows every field whole, as valid UTF-8, whatever bytes it holds.
  const std::string d = kDumpFile.substr(0, kDumpFile.rfind('/')), cure = "install -d -m 0700 " + d;
  const std::string vars = "F=" + kDumpFile + " E=" + make_temp_dir("comm_rms.") + " D=" + d + "; ";
  const std::pair<const char*, std::string> in_the_way[] = {
      {"rmdir $D", d + " does not exist: create it with " + cure},
      {"rmdir $D && ln -s $E $D", d + " is a symbolic link: remove it, then " + cure},
      {"ln -s $E $F", kDumpFile + " is a symbolic link: remove it"},
      {"echo kept >$E/x && ln $E/x $F",
       kDumpFile + " is a file with more than one hard link: remove it"},
      {"mkdir $F", kDumpFile + " is a directory: remove it"},
  };
  for (const auto& [setup, cause] : in_the_way) {
    ASSERT_EQ(std::system((vars + "rm -rf $D $E && mkdir -m 0700 $D $E && " + setup).c_str()), 0);
    EXPECT_EQ(run(words(ucom + pid + " commRMS UCGETMEMINFO"), dir, &out, &err), 1) << setup;
    EXPECT_EQ(out + err, "result[-1]\nucom: the dump was not written: " + cause + "\n");
  }
  std::string quotes;
  for (int i = 0; i < 254; ++i) quotes += "\\\"";
  const std::string json =
      "{\"command\":\"register\",\"code\":0,\"name\":\"ok\"}\n{\"command\":\"path\",\"code\":0,"
      "\"name\":\"ok\",\"server_path_name\":\"" +
      quotes +
      "\\\\xff\\\\x5c\",\"size\":256}\n"
      "{\"command\":\"dump\",\"code\":-1,\"name\":null,\"file\":\"" +
      kDumpFile + "\"}\n";
  ASSERT_TRUE(shell.write_stdin("register --url u --path " + std::string(254, '"') +
                                "\xff\\\npath\ndump\n"));
  ASSERT_TRUE(shell.shows(json));  // each result as it comes, the shell still reading
  ASSERT_TRUE(shell.write_stdin("bogus\nquit\n"));
  EXPECT_EQ(shell.wait(), 1);  // the bad line counts as a failure
  EXPECT_EQ(shell.out(), json);
  std::string opened = ready;  // and the library's line for each dump refused: ucom's, its own
  for (size_t i = 0; i <= std::size(in_the_way); ++i)
    opened += "File Open ERROR. " + kDumpFile + "\n";
  EXPECT_EQ(shell.err(), opened + "rmsctl: dump failed: " + kDumpFile +
                             " is a directory: remove it\nrmsctl: unknown command 'bogus'\n");
  service.signal(SIGINT);
  EXPECT_EQ(service.wait(), 0);
}

// A request that finds no service says what it waits for, gives up at
// --timeout, and neither that nor Ctrl-C leaves its console socket behind.
TEST(Tools, WaitsAloudAndLeavesNoSocketBehind) {
  run_dir dir;
  const std::string waiting =
      "rmsctl: waiting for the service f_comm_rms at " + dir.path() + "/f_comm_rms.sock (";
  std::string err;
  EXPECT_EQ(run({RMSCTL, "--timeout=1", "path"}, dir, nullptr, &err), 3);
  EXPECT_EQ(err, "[@ERR] comm_rms_facade::initial\tmc_client_ is null.\n" + waiting +
                     "not there yet) (up to 1 s)...\nrmsctl: path: gave up after 1 s without an "
                     "answer\n");
  setenv("VANTOREL_RUN_DIR", "relative", 1);  // never works: not waited for
  EXPECT_EQ(run({RMSCTL, "path"}, dir, nullptr, &err), 1);
  setenv("VANTOREL_RUN_DIR", dir.path().c_str(), 1);
  EXPECT_EQ(err, "rmsctl: unusable run directory: relative is not an absolute path\n");
  process dead, client;  // the first leaves its socket behind, which nobody listens on then
  ASSERT_TRUE(start_service(dead, COMM_RMS_SERVICE, dir, {}, "dead"));
  dead.kill_now();
  ASSERT_TRUE(client.start({RMSCTL, "path"}, dir.path() + "/client"));
  const std::string socket = dir.path() + "/ucom." + std::to_string(client.pid()) + ".sock";
  ASSERT_TRUE(client.shows(
      waiting + "a socket nobody listens on: is comm-rms-service running?) (up to 30 s)...\n"));
  EXPECT_EQ(::access(socket.c_str(), F_OK), 0);
  client.signal(SIGINT);
  EXPECT_EQ(client.wait(), 128 + SIGINT);
  EXPECT_NE(::access(socket.c_str(), F_OK), 0);
}
