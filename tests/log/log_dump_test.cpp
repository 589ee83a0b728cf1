// The dump command: the exact file it writes, the size bound, the refusal of
// planted files and directories, and lines traced while a dump runs.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "comm_rms/connect_history.h"
#include "comm_rms/operation_log.h"
#include "fake_platform.h"
#include "log/comm_rms_ucom_log.h"
#include "log_test_util.h"

namespace {

using log_test::drain_store;
using log_test::thread_field;
using vantorel::comm_rms_ucom_log;

const char kFixedDir[] = "/tmp/debug_file";
const char kFixedFile[] = "/tmp/debug_file/comm_rms_client_debug.log";
const std::string kBanner(80, '=');
const std::string kSection = kBanner + "\nRemote Panel Connect Information\n" + kBanner + "\n";
const std::string kHeadings = kBanner + "\nOperation log\n" + kBanner + "\n";

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// What the console does with a command text (fake::reset forgets the
// process's registration, so the store is called directly).
int console(const char* command) {
  std::string text(command);
  return comm_rms_ucom_log::get_instance()->ucom_usr_command(&text[0]);
}

void trace(int line, const char* message) {
  comm_rms_operation_log(1, 1, line, "void t::u::v()", "%s", message);
}

// The fixed directory belongs to the machine: whatever is there is moved
// aside for the test and put back afterwards.
class FixedPath : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    saved_ = std::string(kFixedDir) + ".saved." + std::to_string(getpid());
    had_dir_ = exists(kFixedDir);
    if (had_dir_) {
      ASSERT_EQ(rename(kFixedDir, saved_.c_str()), 0);
    }
    ASSERT_EQ(mkdir(kFixedDir, 0700), 0);
    comm_rms_ucom_log::get_instance();
    drain_store();
  }
  void TearDown() override {
    unlink(kFixedFile);
    rmdir(kFixedDir);
    if (had_dir_) rename(saved_.c_str(), kFixedDir);
  }
  std::string saved_;
  bool had_dir_ = false;
};

TEST_F(FixedPath, OnlyTheExactCommandActs) {
  const char* lower = "ucgetmeminfo";
  const char* blank = "UCGETMEMINFO ";
  const char* empty = "";
  trace(1, "kept");
  for (const char* command : {lower, blank, empty}) EXPECT_EQ(console(command), 0);
  EXPECT_FALSE(exists(kFixedFile));
  EXPECT_EQ(drain_store().size(), 1u);
}

TEST_F(FixedPath, DumpsHistoryThenTheLinesSinceTheLastDump) {
  EXPECT_EQ(console("UCGETMEMINFO"), 0);
  EXPECT_EQ(read_file(kFixedFile), kSection + kHeadings);
  struct stat st;
  ASSERT_EQ(stat(kFixedFile, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  const std::string stamp = "[1970-01-01 00:00:00.000000][" + thread_field() + "] [ INF]";
  trace(1, "first");
  trace(2, "second");
  EXPECT_EQ(console("UCGETMEMINFO"), 0);
  EXPECT_EQ(read_file(kFixedFile), kSection + kHeadings + stamp + "[0001] u::v\tfirst\n" + stamp +
                                       "[0002] u::v\tsecond\n");

  COMM_RMS_REGISTER_SERVER_INFO info = {};
  comm_rms_register_server_log(info, 0);
  trace(3, "third");
  EXPECT_EQ(console("UCGETMEMINFO"), 0);
  const std::string dump = read_file(kFixedFile);
  EXPECT_EQ(dump.find(kSection + "----"), 0u);
  EXPECT_NE(dump.find("[ID:1]\n"), std::string::npos);
  EXPECT_EQ(dump.substr(dump.size() - kHeadings.size() - stamp.size() - 18),
            kHeadings + stamp + "[0003] u::v\tthird\n");
}

TEST_F(FixedPath, MissingDirectoryReportsAndKeepsTheStore) {
  ASSERT_EQ(rmdir(kFixedDir), 0);
  trace(1, "kept");
  testing::internal::CaptureStdout();
  EXPECT_EQ(console("UCGETMEMINFO"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "File Open ERROR. /tmp/debug_file/comm_rms_client_debug.log\n");
  EXPECT_FALSE(exists(kFixedDir));
  EXPECT_EQ(drain_store().size(), 1u);
}

// Dumps into a private temporary directory, through a store of its own.
class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    char pattern[] = "/tmp/comm_rms_dump_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    file_ = dir_ + "/comm_rms_client_debug.log";
  }
  void TearDown() override {
    if (std::system(("rm -rf " + dir_).c_str()) != 0) ADD_FAILURE() << "cannot remove " << dir_;
  }

  void push(comm_rms_ucom_log& store, const std::string& text) {
    store.push_log(text.c_str(), text.size() + 1);
  }
  std::vector<std::string> remaining(comm_rms_ucom_log& store) {
    std::vector<std::string> left;
    std::vector<unsigned char> entry;
    while (store.pop_log(entry) == 0) left.emplace_back(reinterpret_cast<char*>(entry.data()));
    return left;
  }
  // Size of a dump of an empty store: the history section and the headings.
  long head_size() {
    comm_rms_ucom_log empty(64);
    EXPECT_EQ(empty.dump_to((dir_ + "/").c_str()), 0);
    return static_cast<long>(read_file(file_).size());
  }
  // A dump that must be refused, leaving `victim` and the store as they were.
  void expect_refused(const std::string& directory, const std::string& victim) {
    const std::string before = read_file(victim);
    comm_rms_ucom_log store(1024);
    push(store, "kept");
    testing::internal::CaptureStdout();
    EXPECT_EQ(store.dump_to(directory.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "File Open ERROR. " + directory + "comm_rms_client_debug.log\n");
    EXPECT_EQ(read_file(victim), before);
    EXPECT_EQ(remaining(store), std::vector<std::string>{"kept"});
  }

  std::string dir_;
  std::string file_;
};

TEST_F(TempDir, EntryEndingAtTheLimitIsWrittenTheNextIsLost) {
  const long head = head_size();
  comm_rms_ucom_log store(200000);
  const std::string fits(static_cast<size_t>(102399 - head), 'a');
  push(store, fits);
  push(store, "b");
  push(store, "c");
  EXPECT_EQ(store.dump_to((dir_ + "/").c_str()), 0);
  const std::string dump = read_file(file_);
  EXPECT_EQ(dump.size(), 102400u);
  EXPECT_EQ(dump.substr(static_cast<size_t>(head)), fits + "\n");
  EXPECT_EQ(remaining(store), std::vector<std::string>{"c"});
}

TEST_F(TempDir, EntryPastTheLimitStopsTheDumpEvenIfALaterOneFits) {
  const long head = head_size();
  comm_rms_ucom_log store(200000);
  push(store, std::string(static_cast<size_t>(102400 - head), 'a'));
  push(store, "b");
  EXPECT_EQ(store.dump_to((dir_ + "/").c_str()), 0);
  EXPECT_EQ(read_file(file_).size(), static_cast<size_t>(head));
  EXPECT_EQ(remaining(store), std::vector<std::string>{"b"});
}

TEST_F(TempDir, PlantedFilesAndDirectoriesAreRefused) {
  const std::string victim = dir_ + "/victim";
  write_file(victim, "precious");
  ASSERT_EQ(symlink(victim.c_str(), file_.c_str()), 0);
  expect_refused(dir_ + "/", victim);
  ASSERT_EQ(unlink(file_.c_str()), 0);

  ASSERT_EQ(link(victim.c_str(), file_.c_str()), 0);
  expect_refused(dir_ + "/", victim);
  ASSERT_EQ(unlink(file_.c_str()), 0);

  ASSERT_EQ(mkfifo(file_.c_str(), 0600), 0);
  expect_refused(dir_ + "/", victim);
  ASSERT_EQ(unlink(file_.c_str()), 0);

  const std::string real = dir_ + "/real";
  ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
  write_file(real + "/comm_rms_client_debug.log", "precious");
  ASSERT_EQ(symlink(real.c_str(), (dir_ + "/link").c_str()), 0);
  expect_refused(dir_ + "/link/", real + "/comm_rms_client_debug.log");
}

TEST_F(TempDir, DirectoryWritableByOthersIsRefusedUnlessSticky) {
  write_file(file_, "precious");
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
  expect_refused(dir_ + "/", file_);
  ASSERT_EQ(chmod(dir_.c_str(), 01777), 0);
  comm_rms_ucom_log store(1024);
  EXPECT_EQ(store.dump_to((dir_ + "/").c_str()), 0);
  EXPECT_EQ(read_file(file_).find("precious"), std::string::npos);
}

TEST_F(TempDir, LinesTracedDuringDumpsAreWholeAndInOrder) {
  drain_store();
  comm_rms_ucom_log* store = comm_rms_ucom_log::get_instance();
  const auto before = store->ring_counters();
  constexpr int kLines = 2000;
  std::atomic<int> running{2};
  auto writer = [&](int id) {
    for (int i = 0; i < kLines; ++i) {
      comm_rms_operation_log(1, 1, id, "void w::x::y()", "writer %d seq %d", id, i);
    }
    --running;
  };
  std::thread a(writer, 1);
  std::thread b(writer, 2);
  const std::regex line_re(R"(\[1970-01-01 00:00:00\.000000\]\[\d{10,}\] \[ INF\]\[000(\d)\] )"
                           R"(x::y\twriter (\d) seq (\d+))");
  int last[3] = {-1, -1, -1};
  int dumped = 0;
  bool done = false;
  while (!done) {
    done = running.load() == 0;
    ASSERT_EQ(store->dump_to((dir_ + "/").c_str()), 0);
    std::istringstream dump(read_file(file_));
    std::string line;
    while (std::getline(dump, line) && line != "Operation log") {
    }
    std::getline(dump, line);  // the closing banner
    while (std::getline(dump, line)) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, line_re)) << line;
      const int id = std::stoi(m[2]);
      ASSERT_EQ(std::stoi(m[1]), id);
      ASSERT_GT(std::stoi(m[3]), last[id]);
      last[id] = std::stoi(m[3]);
      ++dumped;
    }
  }
  a.join();
  b.join();
  // Eviction keeps the newest lines, so the very last one always survives.
  EXPECT_EQ(std::max(last[1], last[2]), kLines - 1);
  const auto after = store->ring_counters();
  EXPECT_EQ(after.pushed - before.pushed, 2u * kLines);
  EXPECT_EQ(after.popped - before.popped + after.evicted - before.evicted, 2u * kLines);
  EXPECT_GE(dumped, 1);
}

}  // namespace
