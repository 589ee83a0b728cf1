// The dump command: the exact file it writes, the size bound, and the refusal
// of planted files and directories.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "comm_rms/connect_history.h"
#include "comm_rms/operation_log.h"
#include "fake_platform.h"
#include "log_test_util.h"

namespace {

using std::string;
using vantorel::comm_rms_ucom_log;

const char kFixedDir[] = "/tmp/debug_file";
const char kFixedFile[] = "/tmp/debug_file/comm_rms_client_debug.log";
const string kSection =
    string(80, '=') + "\nRemote Panel Connect Information\n" + string(80, '=') + "\n";
const string kHeadings = string(80, '=') + "\nOperation log\n" + string(80, '=') + "\n";

bool exists(const string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

string read_file(const string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

int command(const char* text) {  // as the console delivers it
  string copy(text);
  return comm_rms_ucom_log::get_instance()->ucom_usr_command(&copy[0]);
}

// Whatever the machine has at the fixed path is moved aside and put back.
class FixedPath : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    had_dir_ = exists(kFixedDir);
    if (had_dir_) {
      ASSERT_EQ(rename(kFixedDir, saved_.c_str()), 0) << "cannot move it aside";
    }
    ASSERT_EQ(mkdir(kFixedDir, 0700), 0);
    log_test::drain();
  }
  void TearDown() override {
    unlink(kFixedFile);
    rmdir(kFixedDir);
    if (had_dir_) {
      EXPECT_EQ(rename(saved_.c_str(), kFixedDir), 0);
    }
  }
  void trace(int line, const char* message) {
    comm_rms_operation_log(1, 1, line, "void t::u::v()", "%s", message);
  }
  const string stamp_ = "[1970-01-01 00:00:00.000000][" + log_test::thread_field() + "] [ INF]";
  const string saved_ = string(kFixedDir) + ".saved." + std::to_string(getpid());
  bool had_dir_ = false;
};

TEST_F(FixedPath, DumpsHistoryThenTheLinesSinceTheLastDump) {
  trace(1, "first");
  for (const char* other : {"ucgetmeminfo", "UCGETMEMINFO ", ""}) EXPECT_EQ(command(other), 0);
  EXPECT_FALSE(exists(kFixedFile));

  trace(2, "second");
  EXPECT_EQ(command("UCGETMEMINFO"), 0);
  EXPECT_EQ(read_file(kFixedFile), kSection + kHeadings + stamp_ + "[0001] u::v\tfirst\n" + stamp_ +
                                       "[0002] u::v\tsecond\n");
  struct stat st;
  ASSERT_EQ(stat(kFixedFile, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  EXPECT_EQ(command("UCGETMEMINFO"), 0);
  EXPECT_EQ(read_file(kFixedFile), kSection + kHeadings);

  comm_rms_register_server_log(COMM_RMS_REGISTER_SERVER_INFO{}, 0);
  trace(3, "third");
  EXPECT_EQ(command("UCGETMEMINFO"), 0);
  const string dump = read_file(kFixedFile);
  EXPECT_EQ(dump.find(kSection + string(80, '-') + "\n[ID:1]\n"), 0u);
  const string tail = kHeadings + stamp_ + "[0003] u::v\tthird\n";
  EXPECT_EQ(dump.substr(dump.size() - tail.size()), tail);
}

TEST_F(FixedPath, MissingDirectoryReportsAndKeepsTheStore) {
  ASSERT_EQ(rmdir(kFixedDir), 0);
  trace(1, "kept");
  testing::internal::CaptureStdout();
  EXPECT_EQ(command("UCGETMEMINFO"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "File Open ERROR. /tmp/debug_file/comm_rms_client_debug.log\n");
  EXPECT_FALSE(exists(kFixedDir));
  EXPECT_EQ(log_test::drain().size(), 1u);
}

// Dumps of a store of its own into a private temporary directory.
class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    char pattern[] = "/tmp/comm_rms_dump_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = string(pattern) + "/";
    file_ = dir_ + "comm_rms_client_debug.log";
  }
  void TearDown() override { EXPECT_EQ(std::system(("rm -rf " + dir_).c_str()), 0); }
  void push(const string& text) { store_.push_log(text.c_str(), text.size() + 1); }
  // The dump must be refused and leave `victim` and the store as they were.
  void expect_refused(const string& directory, const string& victim) {
    const string before = read_file(victim);
    push("kept");
    testing::internal::CaptureStdout();
    EXPECT_EQ(store_.dump_to(directory.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "File Open ERROR. " + directory + "comm_rms_client_debug.log\n");
    EXPECT_EQ(read_file(victim), before);
    EXPECT_EQ(log_test::drain(&store_), std::vector<string>{string("kept", 5)});
  }
  comm_rms_ucom_log store_{200000};
  string dir_, file_;
};

TEST_F(TempDir, SizeBoundIsTestedBeforeEachEntry) {
  ASSERT_EQ(store_.dump_to(dir_.c_str()), 0);
  const size_t head = read_file(file_).size();  // history section and headings
  const string fits(102399 - head, 'a');
  for (const string& entry : {fits, string("b"), string("c")}) push(entry);
  EXPECT_EQ(store_.dump_to(dir_.c_str()), 0);
  EXPECT_EQ(read_file(file_).size(), 102400u);
  EXPECT_EQ(read_file(file_).substr(head), fits + "\n");
  EXPECT_EQ(log_test::drain(&store_), std::vector<string>{string("c", 2)});  // "b" was lost

  for (const string& entry : {fits + "a", string("b")}) push(entry);
  EXPECT_EQ(store_.dump_to(dir_.c_str()), 0);
  EXPECT_EQ(read_file(file_).size(), head);  // "b" would fit, but the dump has ended
  EXPECT_EQ(log_test::drain(&store_), std::vector<string>{string("b", 2)});
}

TEST_F(TempDir, PlantedFilesAndDirectoriesAreRefused) {
  const string victim = dir_ + "victim";
  std::ofstream(victim) << "precious";
  ASSERT_EQ(symlink(victim.c_str(), file_.c_str()), 0);
  expect_refused(dir_, victim);
  ASSERT_EQ(unlink(file_.c_str()), 0);
  ASSERT_EQ(link(victim.c_str(), file_.c_str()), 0);
  expect_refused(dir_, victim);
  ASSERT_EQ(unlink(file_.c_str()), 0);
  ASSERT_EQ(mkfifo(file_.c_str(), 0600), 0);
  expect_refused(dir_, victim);  // without blocking on the FIFO
  ASSERT_EQ(unlink(file_.c_str()), 0);

  ASSERT_EQ(symlink(dir_.c_str(), (dir_ + "link").c_str()), 0);
  std::ofstream(file_) << "precious";
  expect_refused(dir_ + "link/", file_);
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
  expect_refused(dir_, file_);
  ASSERT_EQ(chmod(dir_.c_str(), 01777), 0);  // sticky: others cannot replace our file
  EXPECT_EQ(store_.dump_to(dir_.c_str()), 0);
  EXPECT_EQ(read_file(file_).find(kSection), 0u);
  EXPECT_EQ(read_file(file_).find("precious"), string::npos);
}

}  // namespace
