// Message channel and console socket of the host platform: a facade server
// on a thread of this process and real clients over the socket. A service
// that goes away, stalls or comes back, and readiness answers, are tested
// through the simulator process (integration, reliability).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "fresh_process.h"
#include "internal/wire.h"
#include "test_support.h"
#include "vantorel/host/host.h"
#include "vantorel/ipc.h"
#include "vantorel/ucom.h"

#if defined(__SANITIZE_THREAD__)
// A forked child of this (threaded) process starts the console thread.
extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_options() {
  return "die_after_fork=0";
}
#endif

namespace {

using vantorel::bmc_mc_client;
namespace host = vantorel::host;

using namespace test_support;

// Every test of this executable works in a fresh run directory, with a
// short reply wait; set before anything reads them.
struct environment {
  run_dir dir;
  environment() { setenv("VANTOREL_REPLY_TIMEOUT_MS", "400", 1); }
} the_environment;

enum : long { kEcho = 1, kSized = 2, kLater = 3 };

// Echo: the request back. Sized: as many bytes as the request's first word
// says, byte i = i & 0xFF. Later: replied by the test.
class test_facade final : public vantorel::facade_template {
 public:
  void dispatch(LONG msg_id, char* data, UINT length, GEN_IPC_SVC header) override {
    if (msg_id == kEcho) {
      host::facade_reply(header, data, length);
    } else if (msg_id == kSized) {
      uint32_t size = 0;
      std::memcpy(&size, data, sizeof size);
      std::vector<unsigned char> out(size);
      for (uint32_t i = 0; i < size; ++i) out[i] = static_cast<unsigned char>(i);
      host::facade_reply(header, out.data(), size);
    } else if (msg_id == kLater) {
      later = header;
      has_later.store(true);
    }
  }
  GEN_IPC_SVC later{};
  std::atomic<bool> has_later{false};
};

// A server on its own thread for the life of the object.
struct served {
  explicit served(const char* name) : server(facade, name) {
    started = server.start();
    if (started == 0) thread = std::thread([this] { server.run(); });
  }
  ~served() {
    server.stop();
    if (thread.joinable()) thread.join();
  }
  test_facade facade;
  host::facade_server server;
  int started;
  std::thread thread;
};

long send(bmc_mc_client* client, long id, const void* request, unsigned int length, void* reply,
          unsigned int capacity) {
  return client->bmc_mc_send_sync_message(0, id, static_cast<char*>(const_cast<void*>(request)),
                                          length, static_cast<char*>(reply), &capacity, "");
}

int32_t first_word(const std::vector<char>& reply) {
  int32_t word;
  std::memcpy(&word, reply.data(), sizeof word);
  return word;
}

std::string facade_path(const char* name) {
  char path[128] = {};
  host::facade_socket_path(name, path, sizeof path);
  return path;
}

std::string console_path(pid_t pid) {
  char path[128] = {};
  host::console_socket_path(pid, path, sizeof path);
  return path;
}

TEST(Channel, NoSuchFacadeGivesNullAndNotReady) {
  EXPECT_EQ(nullptr, bmc_mc_client::bmc_mc_get_client("nobody_serves_this"));
  EXPECT_EQ(0, bmc_mc_client::bmc_mc_check_facade("nobody_serves_this", 0));
  EXPECT_EQ(nullptr, bmc_mc_client::bmc_mc_get_client("../escape"));
}

TEST(Channel, RoundTripsOfEverySizeAndCutsOversizedReplies) {
  served s("f_sizes");
  ASSERT_EQ(0, s.started);
  struct stat st {};
  ASSERT_EQ(0, stat(facade_path("f_sizes").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  bmc_mc_client* client = bmc_mc_client::bmc_mc_get_client("f_sizes");
  ASSERT_NE(nullptr, client);
  EXPECT_EQ(client, bmc_mc_client::bmc_mc_get_client("f_sizes"));
  EXPECT_EQ(1, bmc_mc_client::bmc_mc_check_facade("f_sizes", 0));
  for (unsigned int size : {4u, 5u, 514u, 4096u, host::kMaxMessageBytes}) {
    std::vector<char> request(size), reply(size + 8, '\x5A');
    for (unsigned int i = 0; i < size; ++i) request[i] = static_cast<char>(i * 7);
    unsigned int capacity = size + 8;
    ASSERT_EQ(0, client->bmc_mc_send_sync_message(0, kEcho, request.data(), size, reply.data(),
                                                  &capacity, "f_sizes"))
        << size;
    EXPECT_EQ(size, capacity);
    EXPECT_TRUE(std::equal(request.begin(), request.end(), reply.begin())) << size;
    EXPECT_EQ(std::string(8, '\x5A'), std::string(reply.end() - 8, reply.end())) << size;
  }
  // A 100-byte reply into 8 bytes: cut at 8, nothing beyond touched.
  std::vector<char> reply(16, '\x11');
  const uint32_t hundred = 100;
  ASSERT_EQ(0, send(client, kSized, &hundred, 4, reply.data(), 8));
  EXPECT_EQ(std::string("\x00\x01\x02\x03\x04\x05\x06\x07", 8), std::string(reply.data(), 8));
  EXPECT_EQ(std::string(8, '\x11'), std::string(reply.data() + 8, 8));
  // A request beyond the limit is not sent.
  std::vector<char> big(host::kMaxMessageBytes + 1);
  EXPECT_EQ(
      -1, send(client, kEcho, big.data(), static_cast<unsigned int>(big.size()), reply.data(), 16));
  EXPECT_EQ(BMC_MC_CHANNEL_FAILURE, first_word(reply));
}

// Signals without SA_RESTART hit the client and the serving thread all the
// time; no exchange may fail for it, none may come back cut or changed.
std::atomic<long> signals_handled{0};

TEST(Channel, SignalStormCostsNoExchange) {
  struct sigaction action {};
  action.sa_handler = [](int) { signals_handled.fetch_add(1, std::memory_order_relaxed); };
  sigaction(SIGUSR1, &action, nullptr);
  served s("f_storm");
  ASSERT_EQ(0, s.started);
  bmc_mc_client* client = bmc_mc_client::bmc_mc_get_client("f_storm");
  ASSERT_NE(nullptr, client);
  std::atomic<bool> done{false};
  int failures = 0;
  constexpr int kExchanges = 1000;
  std::thread worker([&] {
    std::vector<char> request(20000), reply(20000);
    for (int i = 0; i < kExchanges; ++i) {
      std::fill(request.begin(), request.end(), static_cast<char>(i));
      failures +=
          send(client, kEcho, request.data(), 20000, reply.data(), 20000) != 0 || reply != request;
    }
    done = true;
  });
  long sent = 0;
  while (!done) {
    sent += pthread_kill(worker.native_handle(), SIGUSR1) == 0;
    sent += pthread_kill(s.thread.native_handle(), SIGUSR1) == 0;
    usleep(50);
  }
  worker.join();
  signal(SIGUSR1, SIG_IGN);
  std::printf(
      "[ figures  ] signal storm: %d exchanges of 20000 bytes, %ld signals sent to client "
      "and server, %ld handled, %d failed\n",
      kExchanges, sent, signals_handled.load(), failures);
  EXPECT_EQ(0, failures);
  EXPECT_GT(signals_handled.load(), 0);
}

TEST(Channel, DeferredReplyOnceAndSecondServerRefused) {
  served s("f_later");
  ASSERT_EQ(0, s.started);
  host::facade_server twin(s.facade, "f_later");
  EXPECT_EQ(-EADDRINUSE, twin.start());
  bmc_mc_client* client = bmc_mc_client::bmc_mc_get_client("f_later");
  ASSERT_NE(nullptr, client);
  std::thread replier([&] {
    for (int i = 0; i < 400 && !s.facade.has_later.load(); ++i) usleep(1000);
    EXPECT_EQ(0, host::facade_reply(s.facade.later, "late", 4));
    EXPECT_EQ(-ENOTCONN, host::facade_reply(s.facade.later, "again", 5));
  });
  char reply[8] = {};
  EXPECT_EQ(0, send(client, kLater, "", 0, reply, sizeof reply));
  replier.join();
  EXPECT_EQ("late", std::string(reply));
}

TEST(Channel, SilentAndGarbageClientsDoNotBlockOthers) {
  served s("f_robust");
  ASSERT_EQ(0, s.started);
  // More silent clients than the server keeps: the quietest make room.
  std::vector<int> silent;
  for (int i = 0; i < 150; ++i) {
    silent.push_back(raw_connect(facade_path("f_robust")));
    ASSERT_GE(silent.back(), 0);
  }
  const int garbage = raw_connect(facade_path("f_robust"));
  bmc_mc_client* client = bmc_mc_client::bmc_mc_get_client("f_robust");
  ASSERT_NE(nullptr, client);
  char reply[8] = {};
  EXPECT_EQ(0, send(client, kEcho, "fine", 5, reply, sizeof reply));
  EXPECT_STREQ("fine", reply);
  // Shorter than a header: the server drops the connection.
  EXPECT_EQ(kClosed, raw_exchange(garbage, "abc", 3, reply, sizeof reply));
  close(garbage);
  for (int fd : silent) close(fd);
}

// A service that answers each request with a packet made to measure: each
// malformed one must read as a channel failure, never as a result.
struct crafted {
  const char* what;
  uint32_t msg_id_shift, sequence_shift, declared;
  size_t sent;
};

TEST(Channel, MalformedOrForeignRepliesAreChannelFailures) {
  const crafted kReplies[] = {
      {"no body", 0, 0, 0, 0},
      {"half a result word", 0, 0, 2, 2},
      {"100 KB declaring 8 bytes", 0, 0, 8, 100 * 1024},
      {"8 bytes declaring 16", 0, 0, 16, 8},
      {"another request's msg_id", 1, 0, 4, 4},
      {"another request's sequence", 0, 1, 4, 4},
      {"well formed", 0, 0, 4, 4},
  };
  const std::string path = facade_path("f_crafted");
  const int listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  unlink(path.c_str());
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, listen(listener, 4));
  // Each request gets the next reply, on whichever connection it came.
  std::thread service([&] {
    int fd = -1;
    for (const crafted* c = std::begin(kReplies); c != std::end(kReplies);) {
      pollfd ready[2] = {{listener, POLLIN, 0}, {fd, POLLIN, 0}};
      if (poll(ready, 2, 2000) <= 0) break;
      if ((ready[0].revents & POLLIN) != 0) {
        close(fd);
        fd = accept(listener, nullptr, nullptr);
        continue;
      }
      host::wire::header in{};
      if (recv(fd, &in, sizeof in, MSG_TRUNC) < static_cast<ssize_t>(sizeof in)) {
        close(fd);
        fd = -1;
        continue;
      }
      std::vector<char> out(sizeof in + c->sent, '\0');
      const host::wire::header header{host::wire::kMagic, host::wire::kReply,
                                      in.msg_id + c->msg_id_shift, in.sequence + c->sequence_shift,
                                      c->declared};
      std::memcpy(out.data(), &header, sizeof header);
      send(fd, out.data(), out.size(), MSG_NOSIGNAL);
      ++c;
    }
    close(fd);
  });
  bmc_mc_client* client = bmc_mc_client::bmc_mc_get_client("f_crafted");
  ASSERT_NE(nullptr, client);
  int refused = 0;
  for (const crafted& c : kReplies) {
    std::vector<char> reply(16, '\x5A');
    const bool well_formed = std::strcmp(c.what, "well formed") == 0;
    const long rc = send(client, 7, "ask", 4, reply.data(), 16);
    EXPECT_EQ(well_formed ? 0 : -1, rc) << c.what;
    EXPECT_EQ(well_formed ? 0 : BMC_MC_CHANNEL_FAILURE, first_word(reply)) << c.what;
    refused += rc == -1 && first_word(reply) == BMC_MC_CHANNEL_FAILURE;
  }
  service.join();
  close(listener);
  unlink(path.c_str());
  std::printf(
      "[ figures  ] malformed or foreign replies: %zu sent, %d refused as channel failures\n",
      std::size(kReplies) - 1, refused);
}

// After fork() parent and child ask at once over a pool warmed before it:
// each must get its own answer, never the other's.
TEST(Channel, ForkedChildNeverSharesTheParentsConnections) {
  served s("f_fork");
  ASSERT_EQ(0, s.started);
  bmc_mc_client* client = bmc_mc_client::bmc_mc_get_client("f_fork");
  ASSERT_NE(nullptr, client);
  const auto ask = [client](const std::string& text) {
    std::vector<char> reply(64, '\0');
    if (send(client, kEcho, text.c_str(), static_cast<unsigned int>(text.size() + 1), reply.data(),
             64) != 0) {
      return 2;
    }
    return text == reply.data() ? 0 : 1;
  };
  ASSERT_EQ(0, ask("warm the pool"));
  constexpr int kForks = 300;
  int cross = 0, failed = 0;
  for (int i = 0; i < kForks; ++i) {
    const pid_t pid = fork();
    if (pid == 0) _exit(ask("child " + std::to_string(i)));
    const int mine = ask("parent " + std::to_string(i));
    const int child = test_support::wait_child(pid);
    cross += (mine == 1) + (child == 1);
    failed += (mine == 2) + (child != 0 && child != 1);
  }
  std::printf("[ figures  ] fork with a warm pool: %d forks, %d cross-answers, %d failed\n", kForks,
              cross, failed);
  EXPECT_EQ(0, cross);
  EXPECT_EQ(0, failed);
}

// A client stopped past the reply bound while its reply arrives still reads
// it once it runs again.
TEST(Channel, StoppedClientStillReadsTheReplyWaitingForIt) {
  served s("f_stopped");
  ASSERT_EQ(0, s.started);
  const pid_t pid = fork();
  if (pid == 0) {
    bmc_mc_client* client = bmc_mc_client::bmc_mc_get_client("f_stopped");
    char reply[8] = {};
    _exit(client != nullptr && send(client, kLater, "", 0, reply, sizeof reply) == 0 &&
                  std::strcmp(reply, "late") == 0
              ? 0
              : 1);
  }
  ASSERT_TRUE(wait_until([&] { return s.facade.has_later.load(); }, 2000));
  usleep(50 * 1000);  // the child is then in its read
  int status = 0;
  ASSERT_EQ(0, kill(pid, SIGSTOP));
  ASSERT_EQ(pid, waitpid(pid, &status, WUNTRACED));
  EXPECT_EQ(0, host::facade_reply(s.facade.later, "late", 5));
  usleep(static_cast<useconds_t>(host::reply_timeout_ms() + 300) * 1000);  // past the bound
  kill(pid, SIGCONT);
  EXPECT_EQ(0, test_support::wait_child(pid));
}

// A run directory reached through a symlink is no place for sockets,
// however its name is written.
TEST(Channel, SymlinkedRunDirectoryIsRefused) {
  const std::string real = make_temp_dir("run-real-");
  const std::string link = real + "-link";
  ASSERT_EQ(0, symlink(real.c_str(), link.c_str()));
  for (const char* tail : {"", "/", "//"}) {
    IN_FRESH_PROCESS({
      setenv("VANTOREL_RUN_DIR", (link + tail).c_str(), 1);
      test_facade facade;
      host::facade_server server(facade, "f_linked");
      EXPECT_EQ(-EPERM, server.start()) << tail;
    });
  }
  unlink(link.c_str());
  remove_tree(real);
}

class counting_receiver final : public vantorel::UCOM_UsrCommandReceiver {
 public:
  int ucom_usr_command(char* command) override {
    last = command;
    return static_cast<int>(last.size());
  }
  std::string last;
};

TEST(Console, DeliversOverTheSocketAndRejectsBadRequests) {
  counting_receiver receiver;
  auto* console = vantorel::UCOM_UsrCommandManager::ucom_instance();
  ASSERT_EQ(0, console->ucom_add_usr_command(&receiver, "counter"));
  const std::string path = console_path(getpid());
  struct stat st {};
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  std::vector<int> silent;  // connect and say nothing, more than are served at once
  for (int i = 0; i < 20; ++i) {
    silent.push_back(raw_connect(path));
    ASSERT_GE(silent.back(), 0);
  }

  int result = 0;
  ASSERT_EQ(0, host::console_deliver(getpid(), "counter", "UCGET two words", &result, 2000));
  EXPECT_EQ(15, result);
  EXPECT_EQ("UCGET two words", receiver.last);
  ASSERT_EQ(0, host::console_deliver(getpid(), "nobody", "X", &result, 2000));
  EXPECT_EQ(vantorel::UCOM_NO_RECEIVER, result);
  EXPECT_EQ(host::kConsoleBadRequest,
            host::console_deliver(getpid(), "counter", "", &result, 2000));
  EXPECT_EQ(
      host::kConsoleBadRequest,
      host::console_deliver(getpid(), "counter", std::string(2000, 'a').c_str(), &result, 2000));
  for (const std::string& bad :
       {std::string(), std::string("nospace"), std::string(" lead"), std::string("counter a\nb"),
        std::string("counter \x01", 9), std::string("counter x\0y", 11), std::string(5000, 'q')}) {
    int32_t answer[2] = {};
    const int fd = raw_connect(path);
    EXPECT_EQ(8, raw_exchange(fd, bad.data(), bad.size(), answer, sizeof answer)) << bad.size();
    EXPECT_EQ(host::kConsoleBadRequest, answer[0]) << bad.size();
    close(fd);
  }
  EXPECT_EQ("UCGET two words", receiver.last);  // nothing bad reached it
  ASSERT_EQ(0, host::console_deliver(getpid(), "counter", "x", &result, 2000));
  EXPECT_EQ(1, result);
  for (int fd : silent) close(fd);
  host::ucom_withdraw(&receiver);
  EXPECT_EQ(-ENOENT, host::console_deliver(999999, "counter", "x", &result, 2000));
}

// A forked child serves a console of its own (named after its pid) from its
// first receiver, clears the file a killed process left behind, and its own
// socket file is gone once it has exited.
TEST(Console, SocketLivesAsLongAsItsProcess) {
  // qemu-user (7.2) aborts when a child forked from a threaded process starts
  // a thread, which the child's console must do.
  if (COMM_RMS_TEST_EMULATOR[0] != '\0') {
    GTEST_SKIP() << "a forked child cannot start threads under " COMM_RMS_TEST_EMULATOR;
  }
  counting_receiver parent;
  auto* console = vantorel::UCOM_UsrCommandManager::ucom_instance();
  console->ucom_add_usr_command(&parent, "parent");
  const pid_t dead = fork();
  if (dead == 0) _exit(0);
  waitpid(dead, nullptr, 0);
  close(open(console_path(dead).c_str(), O_CREAT | O_WRONLY, 0600));
  int pipe_fds[2];
  ASSERT_EQ(0, pipe(pipe_fds));
  const int status = in_child([&] {
    static counting_receiver receiver;
    vantorel::UCOM_UsrCommandManager::ucom_instance()->ucom_add_usr_command(&receiver, "child");
    const pid_t self = getpid();
    if (write(pipe_fds[1], &self, sizeof self) != sizeof self) return 2;
    int result = 0;
    if (host::console_deliver(self, "child", "abc", &result, 2000) != 0 || result != 3) return 3;
    std::exit(0);  // runs the exit handlers, unlike _exit
  });
  close(pipe_fds[1]);  // a child that died early then reads as end of file
  pid_t child = 0;
  ASSERT_EQ(static_cast<ssize_t>(sizeof child), read(pipe_fds[0], &child, sizeof child));
  close(pipe_fds[0]);
  EXPECT_EQ(0, status);
  EXPECT_NE(0, access(console_path(child).c_str(), F_OK));
  EXPECT_NE(0, access(console_path(dead).c_str(), F_OK));
  EXPECT_EQ(0, access(console_path(getpid()).c_str(), F_OK));  // the parent's stays
  host::ucom_withdraw(&parent);
}

}  // namespace
