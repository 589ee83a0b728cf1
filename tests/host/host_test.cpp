// What the host platform does beyond the contract that platform_conformance
// checks: the message channel and console socket under faults, crowds, fork,
// cancellation and signals, against a facade server on a thread of this
// process (or a hand-made service speaking the wire format), and the run
// directory's verdict.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "internal/wire.h"
#include "served_facade.h"
#include "test_support.h"
#include "vantorel/osw.h"
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
namespace wire = vantorel::host::wire;
using namespace test_support;

// A fresh run directory and a reply wait far below the 5 s default, set
// before anything reads them: a test that sees a wait end within 3 s sees
// the setting take effect.
struct environment {
  run_dir dir;
  environment() { setenv("VANTOREL_REPLY_TIMEOUT_MS", "1000", 1); }
} the_environment;

long send(bmc_mc_client* client, long id, const void* request, unsigned int length, void* reply,
          unsigned int capacity) {
  return client->bmc_mc_send_sync_message(0, id, static_cast<char*>(const_cast<void*>(request)),
                                          length, static_cast<char*>(reply), &capacity, "");
}

// Socket paths: of a facade (name) or of a process's console (pid).
std::string facade_path(const char* name) {
  char path[128] = {};
  return host::facade_socket_path(name, path, sizeof path) == 0 ? path : "";
}
std::string console_path(pid_t pid) {
  char path[128] = {};
  return host::console_socket_path(pid, path, sizeof path) == 0 ? path : "";
}

// Descriptors of this process open on `path` (a file) or bound to it (a
// socket), or with `peer` connected to it.
int descriptors_on(const std::string& path, bool peer = false) {
  int count = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    char link[256] = {};
    const std::string entry = "/proc/self/fd/" + std::to_string(fd);
    if (readlink(entry.c_str(), link, sizeof link - 1) < 0) continue;
    sockaddr_un address{};
    socklen_t length = sizeof address;
    auto* named = reinterpret_cast<sockaddr*>(&address);
    count += (!peer && path == link) ||
             ((peer ? getpeername(fd, named, &length) : getsockname(fd, named, &length)) == 0 &&
              address.sun_family == AF_UNIX && path == address.sun_path);
  }
  return count;
}

// A socket connected to `path` (nonblocking: failing at once on a full
// backlog), or a hand-made service's listening socket there (accept never
// waits); -1 on failure.
int socket_at(const std::string& path, bool listening = false, bool nonblocking = false) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const auto* named = reinterpret_cast<const sockaddr*>(&address);
  const int fd = socket(
      AF_UNIX, SOCK_SEQPACKET | (listening || nonblocking ? SOCK_NONBLOCK | SOCK_CLOEXEC : 0), 0);
  if (listening) unlink(path.c_str());
  if (listening ? bind(fd, named, sizeof address) == 0 && listen(fd, 4) == 0
                : connect(fd, named, sizeof address) == 0)
    return fd;
  close(fd);
  return -1;
}

// Sends `request` on `fd`: the answer's size, kClosed when the peer closed
// instead (with our request unread: ECONNRESET), -2 when nothing came in 2 s.
constexpr ssize_t kClosed = 0;
ssize_t raw_exchange(int fd, const std::string& request, void* answer, size_t capacity) {
  pollfd p{fd, POLLIN, 0};
  ssize_t n = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  if (n >= 0) n = poll(&p, 1, 2000) == 1 ? recv(fd, answer, capacity, 0) : -2;
  return n == -1 ? kClosed : n;
}
// The same on a connection of its own to `path`; -3 when it could not connect.
ssize_t raw_exchange(const std::string& path, const std::string& request, void* answer,
                     size_t capacity) {
  const int fd = socket_at(path);
  const ssize_t n = fd < 0 ? -3 : raw_exchange(fd, request, answer, capacity);
  return close(fd), n;
}

TEST(Channel, LimitsDeferredRepliesAndBadHeaders) {
  EXPECT_EQ(nullptr, bmc_mc_client::bmc_mc_get_client("../escape"));
  // A socket path fits sun_path with room to spare: 106 characters, not 107.
  const size_t room = 107 - (facade_path("n").size() - 1);
  EXPECT_EQ("", facade_path(std::string(room, 'n').c_str()));
  EXPECT_NE("", facade_path(std::string(room - 1, 'n').c_str()));
  served s("f_sizes");
  const std::string path = facade_path("f_sizes");
  ASSERT_EQ(0, s.started);
  EXPECT_EQ(-EALREADY, s.server.start());
  EXPECT_NE(0, host::facade_server(s.facade, nullptr).start());
  struct stat st {};
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  // Silent clients hold up nobody; the largest message goes whole.
  int silent[150];
  for (int& fd : silent) fd = socket_at(path);
  bmc_mc_client* client = bmc_mc_client::bmc_mc_get_client("f_sizes");
  ASSERT_NE(nullptr, client);
  EXPECT_EQ(client, bmc_mc_client::bmc_mc_get_client("f_sizes"));
  std::vector<char> big(host::kMaxMessageBytes + 1, 'b'), back(host::kMaxMessageBytes);
  unsigned int capacity = host::kMaxMessageBytes;
  ASSERT_EQ(0, client->bmc_mc_send_sync_message(0, kEcho, big.data(), capacity, back.data(),
                                                &capacity, "f_sizes"));
  EXPECT_EQ(host::kMaxMessageBytes, capacity);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), big.begin()));
  int32_t reply[4] = {};  // beyond the limit: not sent
  EXPECT_EQ(-1, send(client, kEcho, big.data(), host::kMaxMessageBytes + 1, reply, 16));
  EXPECT_EQ(BMC_MC_CHANNEL_FAILURE, reply[0]);
  std::thread replier([&] {
    wait_until([&] { return s.facade.has_later.load(); }, 2000);
    EXPECT_EQ(0, host::facade_reply(s.facade.later, "late", 5));
    EXPECT_EQ(-ENOTCONN, host::facade_reply(s.facade.later, "again", 6));
  });
  EXPECT_EQ(0, send(client, kLater, "", 0, reply, 8));
  replier.join();
  EXPECT_STREQ("late", reinterpret_cast<char*>(reply));
  // Shorter than a header, longer than the largest message (its header
  // saying so), or in the other byte order: the server drops the
  // connection, and names the other byte order once on stderr.
  const wire::header swapped{__builtin_bswap32(wire::kMagic), 0, 0, 0, 0},
      oversized{wire::kMagic, wire::kRequest, kEcho, 1, host::kMaxMessageBytes + 1};
  const std::string other(reinterpret_cast<const char*>(&swapped), sizeof swapped);
  std::string longest(reinterpret_cast<const char*>(&oversized), sizeof oversized);
  longest.resize(sizeof oversized + host::kMaxMessageBytes + 1, 'o');
  testing::internal::CaptureStderr();
  for (const std::string& packet : {std::string("abc"), longest, other, other})
    EXPECT_EQ(kClosed, raw_exchange(path, packet, reply, 8));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "facade: a client sends in the other byte order (a PowerPC client of "
            "a PC service, or the reverse); it cannot be served\n");
  for (int fd : silent) close(fd);
}

// A service that treats each request its own way: every way short of a
// whole, matching answer must read as a channel failure within the reply
// wait, never as a result.
enum treatment { kReply, kCloseAtAccept, kCloseUnanswered };
struct crafted {
  const char* what;
  treatment how;
  uint32_t msg_id_shift, sequence_shift, declared;
  size_t sent;
};

TEST(Channel, NoWholeAnswerReadsAsSuccess) {
  const crafted kCases[] = {
      {"closed without a reply", kCloseUnanswered, 0, 0, 0, 0},  // after the lookup's connection
      {"closed as soon as accepted (fresh connection)", kCloseAtAccept, 0, 0, 0, 0},
      {"half a result word", kReply, 0, 0, 2, 2},
      {"100 KB declaring 8 bytes", kReply, 0, 0, 8, 100 * 1024},
      {"8 bytes declaring 16", kReply, 0, 0, 16, 8},
      {"another request's msg_id", kReply, 1, 0, 4, 4},
      {"another request's sequence", kReply, 0, 1, 4, 4},
      {"well formed", kReply, 0, 0, 4, 4},  // the last
  };
  const std::string path = facade_path("f_crafted");
  const int listener = socket_at(path, true);
  ASSERT_GE(listener, 0);
  bmc_mc_client* client = bmc_mc_client::bmc_mc_get_client("f_crafted");
  ASSERT_NE(nullptr, client);
  std::thread service([&] {
    int fd = -1;
    for (const crafted* c = std::begin(kCases); c != std::end(kCases);) {
      pollfd ready[2] = {{listener, POLLIN, 0}, {fd, POLLIN, 0}};
      if (poll(ready, 2, 3000) <= 0) break;
      if ((ready[0].revents & POLLIN) != 0) {
        close(fd), fd = accept(listener, nullptr, nullptr);
        if (c->how == kCloseAtAccept) close(fd), fd = -1, ++c;
        continue;
      }
      wire::header in{};
      const bool asked = recv(fd, &in, sizeof in, MSG_TRUNC) >= static_cast<ssize_t>(sizeof in);
      if (!asked || c->how == kCloseUnanswered) close(fd), fd = -1;
      const wire::header header{wire::kMagic, wire::kReply, in.msg_id + c->msg_id_shift,
                                in.sequence + c->sequence_shift, c->declared};
      std::string out(reinterpret_cast<const char*>(&header), sizeof header);
      out.resize(sizeof header + c->sent);
      if (asked && c->how == kReply) send(fd, out.data(), out.size(), MSG_NOSIGNAL);
      c += asked;
    }
    close(fd);
  });
  for (const crafted& c : kCases) {
    int32_t reply[4] = {0x5A5A5A5A};
    const bool whole = &c == std::end(kCases) - 1;
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(whole ? 0 : -1, send(client, 7, "ask", 4, reply, 16)) << c.what;
    EXPECT_EQ(whole ? 0 : BMC_MC_CHANNEL_FAILURE, reply[0]) << c.what;
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3)) << c.what;
  }
  service.join();
  close(listener);
  unlink(path.c_str());
}

// After fork() parent and child ask at once: each must get its own answer,
// never the other's, and the child holds no copy of the parent's
// connections, idle or in flight (a thread waits meanwhile for a stalled
// facade, and is cancelled there: the process lives on, and no descriptor
// stays open). Then signals without SA_RESTART hit the client and the
// serving thread all the time; no exchange may fail for it, none may come
// back cut or changed.
TEST(Channel, ForkedChildrenCancelledWaitsAndSignalStormsCostNoExchange) {
  served s("f_fork");
  bmc_mc_client* client = bmc_mc_client::bmc_mc_get_client("f_fork");
  ASSERT_NE(nullptr, client);
  const auto ask = [client](const std::string& text) {
    std::string reply(text.size(), '\0');
    const auto length = static_cast<unsigned int>(text.size());
    return send(client, kEcho, text.data(), length, &reply[0], length) != 0 ? 2 : text != reply;
  };
  ASSERT_EQ(0, ask("warm the pool"));
  // fork() waits for a thread that holds the process-wide guard, so that no
  // child inherits it held.
  std::atomic<int> guard_state{0};  // 1 held, 2 given back
  std::thread holder([&] {
    const OSW_Thread_Guard guard;
    guard_state = 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    guard_state = 2;
  });
  ASSERT_TRUE(wait_until([&] { return guard_state == 1; }, 2000));
  EXPECT_EQ(0, in_child([] { return 0; }));
  EXPECT_EQ(2, guard_state.load());
  holder.join();
  const std::string path = facade_path("f_fork"), stalled = facade_path("f_stalled");
  const int listener = socket_at(stalled, true);  // accepts nobody
  std::thread waiter([] {
    char reply[8];
    send(bmc_mc_client::bmc_mc_get_client("f_stalled"), kEcho, "hi", 3, reply, 8);
  });
  ASSERT_TRUE(wait_until([&] { return descriptors_on(stalled, true) == 1; }, 2000));
  pthread_cancel(waiter.native_handle());
  int bad = 0;  // answers to parent or children not their own
  for (int i = 0; i < 100; ++i) {
    const pid_t pid = fork();
    const int inherited = pid == 0 ? descriptors_on(path, true) + descriptors_on(stalled, true) : 0;
    if (pid == 0) _exit(inherited != 0 ? 3 : ask("child " + std::to_string(i)));
    bad += (ask("parent " + std::to_string(i)) != 0) + (wait_child(pid) != 0);
  }
  EXPECT_EQ(0, bad);
  waiter.join();
  EXPECT_EQ(0, bmc_mc_client::bmc_mc_check_facade("f_stalled", 0));  // not left locked
  EXPECT_EQ(0, descriptors_on(stalled, true));
  close(listener);
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigaction(SIGUSR1, &action, nullptr);
  std::atomic<int> failures{0}, done{0};
  std::thread worker([&] {
    for (int i = 0; i < 300; ++i) failures += ask(std::string(20000, static_cast<char>(i))) != 0;
    done = 1;
  });
  while (done == 0) {
    pthread_kill(worker.native_handle(), SIGUSR1);
    pthread_kill(s.thread.native_handle(), SIGUSR1);
    usleep(50);
  }
  worker.join();
  signal(SIGUSR1, SIG_IGN);
  EXPECT_EQ(0, failures);
}

// 200 clients at once are all served: none is cut off, so none loses a
// request the service took. 1000 threads that asked once each and stay
// parked keep no more than the pool's 8 connections open. A process looks
// up at most 64 facade names, however many exist.
void* run(void* body) {
  return (*static_cast<std::function<void()>*>(body))(), nullptr;
}

void crowds_come_and_go() {
  setenv("VANTOREL_REPLY_TIMEOUT_MS", "60000", 1);  // no reply late on a loaded machine
  served s("f_crowd"), last("f_65th");
  bmc_mc_client* client = bmc_mc_client::bmc_mc_get_client("f_crowd");
  int parking[2];
  ASSERT_EQ(0, pipe(parking));
  std::atomic<int> failures{0}, asked{0};
  const auto ask = [&](long id) {
    failures += send(client, id, "crowd", 6, std::vector<char>(8).data(), 8) != 0, ++asked;
  };
  // The crowd's requests wait for their turn at dispatch after they are
  // read: a server that cut a connection then (to make room for another
  // client) would carry out a request whose caller hears -2.
  std::function<void()> crowd = [&] { ask(kSlow), ask(kSlow), ask(kSlow); }, parked = [&] {
    char c;
    ask(kEcho), read(parking[0], &c, 1);
  };
  pthread_attr_t small;  // a 32-bit process holds a thousand threads with these
  pthread_attr_init(&small);
  pthread_attr_setstacksize(&small, 256 * 1024);
  std::vector<pthread_t> ids(1200);
  for (int i = 0; i < 1200; ++i) pthread_create(&ids[i], &small, run, i < 200 ? &crowd : &parked);
  EXPECT_TRUE(wait_until([&] { return asked == 1600; }, 120000));
  EXPECT_EQ(0, failures);
  EXPECT_EQ(1600u, s.server.dispatched());  // carried out: all, and all answered
  EXPECT_LE(descriptors_on(facade_path("f_crowd"), true), 8);
  close(parking[1]);
  for (pthread_t id : ids) pthread_join(id, nullptr);
  // Names "1" and "2" are services that never answer, the second with its
  // backlog full: each readiness check gives up within a second, not after
  // the 60 s reply bound, and waits for room without spinning.
  const int stalled = socket_at(facade_path("1"), true), full = socket_at(facade_path("2"), true);
  std::vector<int> queued;
  for (int fd; queued.size() < 64 && (fd = socket_at(facade_path("2"), false, true)) >= 0;)
    queued.push_back(fd);
  const auto begin = std::chrono::steady_clock::now();
  const std::clock_t used = std::clock();
  for (int i = 1; i < 64; ++i) bmc_mc_client::bmc_mc_check_facade(std::to_string(i).c_str(), 0);
  EXPECT_LT(std::clock() - used, CLOCKS_PER_SEC / 5);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(30));
  EXPECT_EQ(nullptr, bmc_mc_client::bmc_mc_get_client("f_65th"));
  for (int fd : queued) close(fd);
  close(stalled), close(full);
}

// Each process reads its settings once: a reply wait is taken only when it
// is a whole number of 1 to 600000 ms, a missing run directory is made, and
// the run directory is judged on its whole path.
TEST(Channel, SettingsLimitsAndCrowdsOfAFreshProcess) {
  const std::pair<const char*, int> waits[] = {{"400", 400}, {"600000", 600000}, {"400x", 5000},
                                               {"0", 5000},  {"600001", 5000},   {"", 5000}};
  for (const auto& w : waits) {
    IN_FRESH_PROCESS({
      setenv("VANTOREL_REPLY_TIMEOUT_MS", w.first, 1);
      EXPECT_EQ(w.second, host::reply_timeout_ms()) << w.first;
      const std::string dir = the_environment.dir.path() + "/made" + w.first;
      setenv("VANTOREL_RUN_DIR", dir.c_str(), 1);
      struct stat st {};
      EXPECT_EQ(dir, host::run_directory());
      EXPECT_TRUE(stat(dir.c_str(), &st) == 0 && (st.st_mode & 0777) == 0700) << dir;
    });
  }
  // The run directory's verdict: any mode without group or other write is
  // fine, but not a symlink (however written), a directory others may write,
  // one below a directory another user may write (unless sticky, as /tmp), or
  // a path one character longer than the verdict holds.
  // A parent of another user needs root to make.
  using fault = host::run_dir_fault;
  const std::string base = the_environment.dir.path();
  const struct {
    std::string dir, parent;
    mode_t parent_mode, mode;
    uid_t parent_owner;
    fault verdict;
  } kPlaces[] = {
      {base + "/real-link//", "", 0, 0, 0, fault::symlink},
      {base + "/open", "", 0, 0770, 0, fault::open_to_others},
      {base + "/wide", "", 0, 0755, 0, fault::ok},
      {base + "/shared/run", base + "/shared", 0777, 0700, 0, fault::unsafe_parent},
      {base + "/sticky/run", base + "/sticky", 01777, 0711, 0, fault::ok},
      {base + "/alien/run", base + "/alien", 0755, 0700, 65534, fault::unsafe_parent},
      {"relative/run", "", 0, 0, 0, fault::not_absolute},
      {"/" + std::string(sizeof host::run_dir_verdict::where - 1, 'x'), "", 0, 0, 0,
       fault::too_long},
  };
  ASSERT_EQ(0, mkdir((base + "/real").c_str(), 0700));
  ASSERT_EQ(0, symlink((base + "/real").c_str(), (base + "/real-link").c_str()));
  for (const auto& p : kPlaces) {
    if (p.parent_owner != 0 && geteuid() != 0) continue;
    if (!p.parent.empty()) mkdir(p.parent.c_str(), 0700);
    ASSERT_TRUE(p.parent.empty() ||
                (chmod(p.parent.c_str(), p.parent_mode) == 0 &&
                 (p.parent_owner == 0 || chown(p.parent.c_str(), p.parent_owner, 65534) == 0)));
    ASSERT_TRUE(p.mode == 0 ||
                (mkdir(p.dir.c_str(), 0700) == 0 && chmod(p.dir.c_str(), p.mode) == 0));
    IN_FRESH_PROCESS({
      setenv("VANTOREL_RUN_DIR", p.dir.c_str(), 1);
      const host::run_dir_verdict& v = host::run_directory_verdict();
      EXPECT_EQ(p.verdict, v.fault) << p.dir;
      EXPECT_EQ(p.verdict == fault::unsafe_parent ? p.parent : std::string(host::run_directory()),
                v.where);
      test_facade facade;
      const bool ok = p.verdict == fault::ok;
      EXPECT_EQ(ok ? 0 : -EPERM, host::facade_server(facade, "f_place").start()) << p.dir;
      // Refused: no client, and the walk keeps nothing it refused.
      EXPECT_TRUE(ok || bmc_mc_client::bmc_mc_get_client("f_place") == nullptr) << p.dir;
      EXPECT_TRUE(ok || descriptors_on(v.where) == 0) << p.dir;
    });
  }
  IN_FRESH_PROCESS(crowds_come_and_go());
}

// A receiver registered under `name` whose result is the command's length.
struct counting_receiver final : vantorel::UCOM_UsrCommandReceiver {
  explicit counting_receiver(const char* name) {
    added = vantorel::UCOM_UsrCommandManager::ucom_instance()->ucom_add_usr_command(this, name);
  }
  int ucom_usr_command(char* command) override { return last = command, int(last.size()); }
  int added;
  std::string last;
};

// A command reaches its receiver over the socket; a bad request (the console
// judges the text) reaches nobody, also with more silent peers connected
// than are served at once.
TEST(Console, DeliversOverTheSocketAndRejectsBadRequests) {
  counting_receiver receiver("counter");
  ASSERT_EQ(0, receiver.added);
  const std::string path = console_path(getpid());
  struct stat st {};
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  int silent[20];
  for (int& fd : silent) fd = socket_at(path);
  int result = 0;
  ASSERT_EQ(0, host::console_deliver(getpid(), "counter", "UCGET two words", &result, 2000));
  EXPECT_EQ(15, result);
  // One connection carries request after request, an empty one too.
  const int connection = socket_at(path);
  for (const std::string& bad : {std::string(), std::string(" lead"), std::string("c x\0y", 5)}) {
    int32_t answer[2] = {};
    EXPECT_EQ(8, raw_exchange(connection, bad, answer, sizeof answer)) << bad;
    EXPECT_EQ(host::kConsoleBadRequest, answer[0]) << bad;
  }
  close(connection);
  EXPECT_EQ("UCGET two words", receiver.last);  // nothing bad reached it
  // The run directory is held by one descriptor, whoever uses it.
  EXPECT_EQ(1, descriptors_on(host::run_directory()));
  for (int fd : silent) close(fd);
  EXPECT_EQ(0, host::ucom_withdraw(&receiver));
  EXPECT_EQ(vantorel::UCOM_NO_RECEIVER, host::ucom_deliver("counter", "x"));
  EXPECT_EQ(-EINVAL, host::console_deliver(getpid(), "counter", "x", nullptr, 2000));
  // A console whose answer is not a whole reply (here a status 0 alone) is not believed.
  const int listener = socket_at(console_path(1), true);  // no console of pid 1 here
  std::thread liar([listener] {
    pollfd p{listener, POLLIN, 0};
    const int fd = poll(&p, 1, 2000) == 1 ? accept(listener, nullptr, nullptr) : -1;
    char request[64];
    if (recv(fd, request, sizeof request, 0) > 0) send(fd, "\0\0\0", 4, MSG_NOSIGNAL);
    close(fd);
  });
  EXPECT_EQ(host::kConsoleBadReply, host::console_deliver(1, "x", "y", &result, 2000));
  liar.join();
  close(listener);
}

// A forked child holds no copy of the parent's listening socket, serves a
// console of its own from its first receiver, clears the file a killed
// process left behind, and its own socket file is gone once it has exited.
TEST(Console, SocketLivesAsLongAsItsProcess) {
  counting_receiver parent("parent");
  const std::string mine = console_path(getpid());
  // Once the connections of earlier tests are closed: the listener alone.
  ASSERT_TRUE(wait_until([&] { return descriptors_on(mine) == 1; }, 5000));
  EXPECT_EQ(0, in_child([&] { return descriptors_on(mine); }));
  // qemu-user (7.2) aborts when a child forked from a threaded process starts
  // a thread, which the child's console must do.
  if (COMM_RMS_TEST_EMULATOR[0] != '\0') {
    GTEST_SKIP() << "a forked child cannot start threads under " COMM_RMS_TEST_EMULATOR;
  }
  const pid_t dead = fork();
  if (dead == 0) _exit(0);
  waitpid(dead, nullptr, 0);
  close(open(console_path(dead).c_str(), O_CREAT | O_WRONLY, 0600));
  const pid_t child = fork();
  if (child == 0) {
    static counting_receiver receiver("child");
    int result = 0;
    if (host::console_deliver(getpid(), "child", "abc", &result, 2000) != 0 || result != 3)
      _exit(3);
    std::exit(0);  // runs the exit handlers, unlike _exit
  }
  EXPECT_EQ(0, wait_child(child));
  EXPECT_NE(0, access(console_path(child).c_str(), F_OK));
  EXPECT_NE(0, access(console_path(dead).c_str(), F_OK));
  EXPECT_EQ(0, access(mine.c_str(), F_OK));  // the parent's stays
  host::ucom_withdraw(&parent);
}

// Idle, a facade server and the console wait in poll: over half a second
// the process uses a small part of its processor time (a serving loop that
// polls without waiting uses all of it).
TEST(Console, IdleServersWait) {
  counting_receiver receiver("idle");
  served s("f_idle");
  timespec used[2];
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used[0]);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used[1]);
  EXPECT_LT(
      (used[1].tv_sec - used[0].tv_sec) * 1000 + (used[1].tv_nsec - used[0].tv_nsec) / 1000000, 50);
  host::ucom_withdraw(&receiver);
}

// Even with the modes opened up, each socket refuses a peer of another user:
// the connection closes unanswered and nothing runs for it.
TEST(Console, SocketsRefuseAPeerOfAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  counting_receiver receiver("probe");
  served s("f_peer");
  ASSERT_EQ(0, s.started);
  const wire::header probe{wire::kMagic, wire::kRequest, kEcho, 1, 0};
  const std::pair<std::string, std::string> cases[] = {
      {console_path(getpid()), "probe UCGETMEMINFO"},
      {facade_path("f_peer"), std::string(reinterpret_cast<const char*>(&probe), sizeof probe)}};
  ASSERT_EQ(0, chmod(host::run_directory(), 0711));
  for (const auto& c : cases) {
    ASSERT_EQ(0, chmod(c.first.c_str(), 0666));
    EXPECT_EQ(kClosed, in_child([&] {
                if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
                  return 10;
                char answer[64];
                return int(raw_exchange(c.first, c.second, answer, sizeof answer));
              }))
        << c.first;
    chmod(c.first.c_str(), 0600);
  }
  chmod(host::run_directory(), 0700);
  EXPECT_EQ("", receiver.last);
  EXPECT_EQ(0u, s.server.dispatched());
  host::ucom_withdraw(&receiver);
}

}  // namespace
