// The endpoints as seen from another user: the run directory and the
// sockets admit no one else, and a peer of another user that gets through to
// a socket anyway is refused before anything runs for it. Needs root (to act
// as another user); skipped otherwise.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "../../host/internal/wire.h"
#include "test_support.h"
#include "vantorel/host/host.h"
#include "vantorel/ucom.h"

namespace {

using namespace test_support;
namespace host = vantorel::host;
constexpr uid_t kNobody = 65534;

const run_dir the_run_dir;

class counting_receiver final : public vantorel::UCOM_UsrCommandReceiver {
 public:
  int ucom_usr_command(char*) override { return ++calls; }
  std::atomic<int> calls{0};
};

class counting_facade final : public vantorel::facade_template {
 public:
  void dispatch(LONG, char*, UINT, GEN_IPC_SVC) override { ++calls; }
  std::atomic<int> calls{0};
};

class endpoint : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    console_ = vantorel::UCOM_UsrCommandManager::ucom_instance();
    ASSERT_EQ(console_->ucom_add_usr_command(&receiver_, "probe"), 0);
    char path[256];
    ASSERT_EQ(host::console_socket_path(getpid(), path, sizeof path), 0);
    console_path_ = path;
    ASSERT_EQ(server_.start(), 0);
    serving_ = std::thread([this] { server_.run(); });
    ASSERT_EQ(host::facade_socket_path("f_endpoint", path, sizeof path), 0);
    facade_path_ = path;
  }
  void TearDown() override {
    server_.stop();
    if (serving_.joinable()) serving_.join();
    if (console_ != nullptr) host::ucom_withdraw(&receiver_);
  }

  vantorel::UCOM_UsrCommandManager* console_ = nullptr;
  counting_receiver receiver_;
  counting_facade facade_;
  host::facade_server server_{facade_, "f_endpoint"};
  std::thread serving_;
  std::string console_path_, facade_path_;
};

TEST_F(endpoint, run_directory_and_sockets_admit_only_their_owner) {
  struct stat st {};
  ASSERT_EQ(lstat(host::run_directory(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(st.st_uid, geteuid());
  for (const std::string& path : {console_path_, facade_path_}) {
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u) << path;
  }
}

// The console tool run as another user (through setpriv) delivers nothing.
TEST_F(endpoint, console_tool_of_another_user_is_refused) {
  if (system("command -v setpriv >/dev/null 2>&1") != 0) GTEST_SKIP() << "no setpriv";
  std::vector<std::string> argv =
      words("setpriv --reuid=65534 --regid=65534 --clear-groups -- " COMM_RMS_TEST_EMULATOR
            " " UCOM_TOOL " --timeout 2000 " +
            std::to_string(getpid()) + " probe UCGETMEMINFO");
  process tool;
  const std::string log = the_run_dir.path() + "/ucom.out";
  ASSERT_TRUE(tool.start(argv, log, "", false, true));
  EXPECT_EQ(tool.wait(20000), 3) << read_file(log);  // not delivered
  EXPECT_EQ(receiver_.calls.load(), 0);
}

// Even with the file modes opened up, each socket refuses a peer of another
// user: the connection closes without an answer, and nothing runs for it.
TEST_F(endpoint, sockets_refuse_a_peer_of_another_user) {
  const host::wire::header probe{host::wire::kMagic, host::wire::kRequest, 1, 1, 0};
  const struct {
    std::string path;
    std::string request;
  } cases[] = {{console_path_, "probe UCGETMEMINFO"},
               {facade_path_, std::string(reinterpret_cast<const char*>(&probe), sizeof probe)}};
  ASSERT_EQ(chmod(host::run_directory(), 0711), 0);
  for (const auto& c : cases) {
    ASSERT_EQ(chmod(c.path.c_str(), 0666), 0);
    const int status = in_child([&] {
      if (setresgid(kNobody, kNobody, kNobody) != 0 || setresuid(kNobody, kNobody, kNobody) != 0) {
        return 1;
      }
      const int fd = raw_connect(c.path);
      char answer[64];
      return fd < 0 ? 2
                    : 3 + static_cast<int>(raw_exchange(fd, c.request.data(), c.request.size(),
                                                        answer, sizeof answer));
    });
    chmod(c.path.c_str(), 0600);
    EXPECT_EQ(status, 3 + kClosed) << c.path;
  }
  chmod(host::run_directory(), 0700);
  EXPECT_EQ(receiver_.calls.load(), 0);
  EXPECT_EQ(facade_.calls.load(), 0);
  // The owner is still served.
  int result = 0;
  EXPECT_EQ(host::console_deliver(getpid(), "probe", "X", &result, 2000), 0);
  EXPECT_EQ(result, 1);
}

}  // namespace
