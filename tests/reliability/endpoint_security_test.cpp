// The debug console's endpoint seen from another user: the run directory
// and the console socket admit no one else, and a peer of another user that
// gets through to the socket anyway is refused before any receiver runs.
// Needs root (to act as another user); skipped otherwise.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "child_process.h"
#include "temp_dir.h"
#include "vantorel/host/host.h"
#include "vantorel/ucom.h"

namespace {

constexpr uid_t kNobody = 65534;

struct private_run_directory {
  std::string path = reliability::make_temp_dir("endpoint-run-");
  private_run_directory() { setenv("VANTOREL_RUN_DIR", path.c_str(), 1); }
  ~private_run_directory() { reliability::remove_tree(path); }
} run_directory;

class counting_receiver final : public vantorel::UCOM_UsrCommandReceiver {
 public:
  int ucom_usr_command(char*) override { return ++calls; }
  std::atomic<int> calls{0};
};

class endpoint : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    console_ = vantorel::UCOM_UsrCommandManager::ucom_instance();
    ASSERT_EQ(console_->ucom_add_usr_command(&receiver_, "probe"), 0);
    char path[256];
    ASSERT_EQ(vantorel::host::console_socket_path(getpid(), path, sizeof path), 0);
    socket_path_ = path;
  }
  void TearDown() override {
    if (console_ != nullptr) console_->ucom_remove_usr_command(&receiver_);
  }

  vantorel::UCOM_UsrCommandManager* console_ = nullptr;
  counting_receiver receiver_;
  std::string socket_path_;
};

TEST_F(endpoint, run_directory_and_console_socket_admit_only_their_owner) {
  struct stat dir {};
  ASSERT_EQ(lstat(vantorel::host::run_directory(), &dir), 0);
  EXPECT_TRUE(S_ISDIR(dir.st_mode));
  EXPECT_EQ(dir.st_mode & 07777, 0700u);
  EXPECT_EQ(dir.st_uid, geteuid());
  struct stat sock {};
  ASSERT_EQ(lstat(socket_path_.c_str(), &sock), 0);
  EXPECT_TRUE(S_ISSOCK(sock.st_mode));
  EXPECT_EQ(sock.st_mode & 07777, 0600u);
}

// The console tool run as another user (through setpriv) delivers nothing.
TEST_F(endpoint, console_tool_of_another_user_is_refused) {
  if (system("command -v setpriv >/dev/null 2>&1") != 0) GTEST_SKIP() << "no setpriv";
  const std::string log = run_directory.path + "/ucom.out";
  std::vector<std::string> argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                   "--"};
  for (const std::string& word : reliability::emulator_words()) argv.push_back(word);
  for (const char* word : {UCOM_TOOL, "--timeout", "2000"}) argv.emplace_back(word);
  argv.push_back(std::to_string(getpid()));
  argv.emplace_back("probe");
  argv.emplace_back("UCGETMEMINFO");
  reliability::child_process tool;
  ASSERT_TRUE(tool.start(argv, log, false));
  const int status = tool.exit_status(20000);
  EXPECT_EQ(status, 3) << reliability::read_file(log);  // not delivered
  EXPECT_EQ(receiver_.calls.load(), 0);
}

// Even with the file modes opened up, the console refuses a peer of
// another user: the connection closes without a reply.
TEST_F(endpoint, console_socket_refuses_a_peer_of_another_user) {
  ASSERT_EQ(chmod(vantorel::host::run_directory(), 0711), 0);
  ASSERT_EQ(chmod(socket_path_.c_str(), 0666), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setresgid(kNobody, kNobody, kNobody) != 0 || setresuid(kNobody, kNobody, kNobody) != 0) {
      _exit(2);
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path_.c_str(), sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) _exit(3);
    const char request[] = "probe UCGETMEMINFO";
    if (send(fd, request, sizeof request - 1, MSG_NOSIGNAL) < 0) _exit(0);  // already closed
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) _exit(4);  // neither answered nor closed
    char reply[16];
    _exit(recv(fd, reply, sizeof reply, 0) > 0 ? 5 : 0);
  }
  int status = -1;
  bool reaped = false;
  for (int waited = 0; !reaped && waited < 10000; waited += 10) {
    reaped = waitpid(child, &status, WNOHANG) == child;
    if (!reaped) usleep(10000);
  }
  if (!reaped) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  chmod(vantorel::host::run_directory(), 0700);
  chmod(socket_path_.c_str(), 0600);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(receiver_.calls.load(), 0);
  // The owner is still served.
  int result = 0;
  EXPECT_EQ(vantorel::host::console_deliver(getpid(), "probe", "X", &result, 2000), 0);
  EXPECT_EQ(result, 1);
}

}  // namespace
