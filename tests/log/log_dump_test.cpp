// The dump command: the exact file it writes, the size bound, and the refusal
// of planted files and directories.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "comm_rms/connect_history.h"
#include "comm_rms/operation_log.h"
#include "fake_platform.h"
#include "history_text.h"
#include "log_test_util.h"
#include "test_support.h"

namespace {

using std::string;
using vantorel::comm_rms_ucom_log;

using test_support::fixed_dump_dir;
const char* const kFixedDir = fixed_dump_dir::kPath;
const char* const kFixedFile = fixed_dump_dir::kFile;
const string kSection = history_text::section();
const string kHeadings = history_text::operation_log();

using test_support::read_file;

bool exists(const string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

int command(const char* text) {  // as the console delivers it
  string copy(text);
  return comm_rms_ucom_log::get_instance()->ucom_usr_command(&copy[0]);
}

// The fixed path, in the private /tmp of this test process.
class FixedPath : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    REQUIRE_FIXED_DUMP_DIR(guard_);
    log_test::drain();
  }
  void trace(int line, const char* message) {
    comm_rms_operation_log(1, 1, line, "void t::u::v()", "%s", message);
  }
  const string stamp_ = "[1970-01-01 00:00:00.000000][" + log_test::thread_field() + "] [ INF]";
  fixed_dump_dir guard_;
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
    ASSERT_FALSE(tmp_.empty());
  }
  ~TempDir() override { test_support::remove_tree(tmp_); }
  void push(const string& text) { store_.push_log(text.c_str(), text.size() + 1); }
  // The dump must be refused and leave `victim` and the store as they were.
  void expect_refused(const string& directory, const string& victim) {
    const string before = read_file(victim);
    push("kept");
    testing::internal::CaptureStdout();
    EXPECT_EQ(store_.dump_to(directory.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "File Open ERROR. " + directory + vantorel::debug_dump::file_name + "\n");
    EXPECT_EQ(read_file(victim), before);
    EXPECT_EQ(log_test::drain(&store_), std::vector<string>{string("kept", 5)});
  }
  comm_rms_ucom_log store_{200000};
  const string tmp_ = test_support::make_temp_dir("comm_rms_dump.");
  const string dir_ = tmp_ + "/", file_ = dir_ + vantorel::debug_dump::file_name;
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
  for (const mode_t writable : {0770, 0777}) {  // by a group or by everyone, not sticky
    ASSERT_EQ(chmod(dir_.c_str(), writable), 0);
    expect_refused(dir_, file_);
  }
  ASSERT_EQ(chmod(dir_.c_str(), 01777), 0);  // sticky: others cannot replace our file
  EXPECT_EQ(store_.dump_to(dir_.c_str()), 0);
  EXPECT_EQ(read_file(file_).find(kSection), 0u);
  EXPECT_EQ(read_file(file_).find("precious"), string::npos);
}

}  // namespace
