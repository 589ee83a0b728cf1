// The library in real client processes against the simulator process. The
// simulator killed, stalled and restarted under requests: the reliability
// group's service faults.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "comm_rms/comm_rms.h"
#include "fresh_process.h"
#include "test_support.h"

using namespace test_support;

TEST(Requests, EveryRoundTripWithItsFields) {
  run_dir dir;
  process service;
  ASSERT_TRUE(start_service(service, COMM_RMS_SERVICE, dir, {"--connect-result", "/srv/a=-7"}));
  std::string out;
  const int code = run(words(std::string(RMSCTL) +
                             " path register --url vnc://h:5900 --path /srv/a"
                             " register --url vnc://b --path /srv/b path"
                             " connect-result --path /srv/a rfb-status --word 9"
                             " unregister --path /srv/b --terminated 1 path"
                             " unregister --path /srv/a rfb-status connect-result --path /srv/a"),
                       dir, &out);
  EXPECT_EQ(code, 1);  // the first path request and the last connection result fail
  EXPECT_EQ(
      out,
      "path: RETCODE[0x00000105] no-server server_path_name[] size[0]\n"
      "register: RETCODE[0x00000000] ok\n"
      "register: RETCODE[0x00000000] ok\n"
      "path: RETCODE[0x00000000] ok server_path_name[/srv/b] size[6]\n"
      "connect-result: RETCODE[0x00000000] ok server_path_name[/srv/a] app_ws_error_code[-7]\n"
      "rfb-status: RETCODE[0x00000000] ok status[1]\n"
      "unregister: RETCODE[0x00000000] ok\n"
      "path: RETCODE[0x00000000] ok server_path_name[/srv/a] size[6]\n"
      "unregister: RETCODE[0x00000000] ok\n"
      "rfb-status: RETCODE[0x00000000] ok status[0]\n"
      "connect-result: RETCODE[0x00000104] unknown-path server_path_name[/srv/a] "
      "app_ws_error_code[0]\n");
  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(), 0);
  const std::string lines = service.out();
  EXPECT_NE(lines.find("\nrequest[7] id[4] length[264] unregister path[/srv/b] is_terminated[1] "
                       "servers[1] -> 0x00000000 ok\n"),
            std::string::npos);
  EXPECT_EQ(lines.substr(lines.rfind("request[11]")),
            "request[11] id[5] length[264] connect-result path[/srv/a] not registered -> "
            "0x00000104 unknown-path\ncomm-rms-service: stopped after 11 requests\n");
}

TEST(Requests, ServiceStartedAfterTheClient) {
  run_dir dir;
  process client;
  ASSERT_TRUE(client.start({RMSCTL, "register", "--url", "u", "--path", "/late"},
                           dir.path() + "/client.out", dir.path() + "/client.err"));
  // Long enough for the client's first readiness checks to fail.
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  process service;
  ASSERT_TRUE(start_service(service, COMM_RMS_SERVICE, dir, {"--refuse-checks", "2"}));
  EXPECT_EQ(client.wait(), 0);
  EXPECT_EQ(client.out(), "register: RETCODE[0x00000000] ok\n");
  EXPECT_EQ(service.out(), "comm-rms-service: serving f_comm_rms at " + dir.path() +
                               "/f_comm_rms.sock\n"
                               "readiness check[1] refused\n"
                               "readiness check[2] refused\n"
                               "request[1] id[3] length[514] register path[/late] url[u] added "
                               "servers[1] -> 0x00000000 ok\n");
}

TEST(Requests, EightThreadsAtOnce) {
  IN_FRESH_PROCESS({
    run_dir dir;  // made and removed in the fresh process
    constexpr int kThreads = 8;
    constexpr int kRounds = 10;
    std::vector<std::string> args;
    for (int t = 0; t < kThreads; ++t) {
      args.push_back("--connect-result");
      args.push_back("/srv/t" + std::to_string(t) + "=" + std::to_string(100 + t));
    }
    process service;
    ASSERT_TRUE(start_service(service, COMM_RMS_SERVICE, dir, args));
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t, &failures] {
        vantorel::comm_rms_facade* facade = vantorel::comm_rms_facade::get_instance();
        const std::string path = "/srv/t" + std::to_string(t);
        for (int round = 0; round < kRounds; ++round) {
          COMM_RMS_REGISTER_SERVER_INFO reg = {};
          std::strcpy(reg.server_pathname, path.c_str());
          COMM_RMS_CONNECT_RESULT_INFO result = {};
          std::strcpy(result.server_path_name, path.c_str());
          COMM_RMS_UNREGISTER_SERVER_INFO unreg = {};
          std::strcpy(unreg.server_pathname, path.c_str());
          const bool ok =
              facade->register_server(reg) == 0 && facade->get_server_connect_result(result) == 0 &&
              result.app_ws_error_code == 100 + t && facade->unregister_server(unreg) == 0;
          if (!ok) failures.fetch_add(1);
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    service.signal(SIGTERM);
    EXPECT_EQ(service.wait(), 0);
    EXPECT_TRUE(service.out_has("comm-rms-service: stopped after " +
                                std::to_string(kThreads * kRounds * 3) + " requests\n"));
  });
}
