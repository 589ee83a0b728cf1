// The tools' pure parts, driven directly: the command language, the
// simulator's options and the dump failure's diagnosis.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "../../tools/common/environment.h"
#include "rmsctl_commands.h"
#include "service_options.h"
#include "test_support.h"

namespace ct = comm_rms_tools;

TEST(Tools, CommandLinesParseOrAreRefusedByName) {
  const struct {
    const char* line;
    const char* error;  // "" when it parses
  } cases[] = {
      {"register --url=vnc://h --path /p path rfb-status --word 0xFFFFFFFE", ""},
      {"unregister --path /p --terminated -3 dump", ""},
      {"register --url u", "register: missing --path"},
      {"register --url u --url v --path p", "register: --url given twice"},
      {"path --path x", "path: unknown option '--path'"},
      {"unregister --path", "unregister: --path needs a value"},
      {"rfb-status --word 0x1FFFFFFFF", "rfb-status: --word '0x1FFFFFFFF' is not a 32-bit number"},
      {"register --url u --path p bogus", "unknown command 'bogus'"},
      {"connect-result --path /a\x1b[2K", "connect-result: path contains a control character"},
  };
  for (const auto& c : cases) {
    std::vector<ct::command> out;
    std::string error;
    EXPECT_EQ(ct::parse_commands(test_support::words(c.line), out, error), c.error[0] == '\0')
        << c.line;
    EXPECT_EQ(error, c.error) << c.line;
    EXPECT_EQ(out.empty(), c.error[0] != '\0') << c.line;
  }
  std::vector<ct::command> out;
  std::string error;
  ASSERT_TRUE(ct::parse_commands(test_support::words(cases[0].line), out, error));
  ASSERT_EQ(out.size(), 3u);
  EXPECT_STREQ(out[0].register_info.url, "vnc://h");
  EXPECT_STREQ(out[0].register_info.server_pathname, "/p");
  EXPECT_EQ(out[2].rfb_info.status, -2);
  const std::string url(256, 'u');
  EXPECT_TRUE(ct::parse_commands({"register", "--url", url, "--path", "/a"}, out, error));
  EXPECT_FALSE(ct::parse_commands({"register", "--url", url + "u", "--path", "/a"}, out, error));
  EXPECT_EQ(error, "register: url longer than 256 characters");
}

TEST(Tools, ServiceOptionsParseOrAreRefusedByName) {
  const struct {
    const char* line;
    const char* error;
  } cases[] = {
      {"s --delay-ms=5 --force-code 3=-2 --connect-result /a=b=7 --quiet", ""},
      {"s --quiet=1", "--quiet takes no value"},
      {"s --delay-ms -1", "--delay-ms: '-1' is not a count (0 to 2147483647)"},
      {"s --force-code 3", "--force-code: '3' is not ID=CODE"},
      {"s --exit-after", "--exit-after needs a value"},
      {"s stray", "unexpected argument 'stray'"},
  };
  for (const auto& c : cases) {
    const std::vector<std::string> words = test_support::words(c.line);
    std::vector<const char*> argv;
    for (const std::string& w : words) argv.push_back(w.c_str());
    ct::service_options options;
    std::string error;
    EXPECT_EQ(ct::parse_service_options(static_cast<int>(argv.size()), argv.data(), options, error),
              c.error[0] == '\0');
    EXPECT_EQ(error, c.error) << c.line;
    if (c.error[0] != '\0') continue;
    EXPECT_EQ(options.delay_ms, 5);
    EXPECT_EQ(options.forced_codes.at(0), std::make_pair(3L, -2));
    EXPECT_EQ(options.connect_results.at(0), std::make_pair(std::string("/a=b"), 7));
  }
}

// What is found in the dump's way is named, not always the directory.
TEST(Tools, DumpFailureNamesWhatIsInTheWay) {
  test_support::fixed_dump_dir guard;
  REQUIRE_FIXED_DUMP_DIR(guard);
  const std::string dir = guard.kPath, file = guard.kFile, bare = dir.substr(0, dir.size() - 1);
  const std::string elsewhere = test_support::make_temp_dir("comm_rms_elsewhere.");
  const struct {
    const char* what;
    int (*plant)(const std::string& dir, const std::string& file, const std::string& elsewhere);
    const char* cause;
  } cases[] = {
      {"no directory", [](auto& d, auto&, auto&) { return rmdir(d.c_str()); }, " does not exist"},
      {"linked directory",
       [](auto& d, auto&, auto& e) { return rmdir(d.c_str()) | symlink(e.c_str(), d.c_str()); },
       " is a symbolic link"},
      {"open directory", [](auto& d, auto&, auto&) { return chmod(d.c_str(), 0777); },
       " has mode 0777, writable by others"},
      {"linked file", [](auto&, auto& f, auto& e) { return symlink(e.c_str(), f.c_str()); },
       " is a symbolic link: remove it"},
      {"directory", [](auto&, auto& f, auto&) { return mkdir(f.c_str(), 0700); },
       " is a directory"},
      {"FIFO", [](auto&, auto& f, auto&) { return mkfifo(f.c_str(), 0600); }, " is a FIFO"},
      {"hard link",
       [](auto&, auto& f, auto& e) {
         std::ofstream(e + "/x") << "kept";
         return link((e + "/x").c_str(), f.c_str());
       },
       " is a file with more than one hard link"},
  };
  for (const auto& c : cases) {
    test_support::remove_tree(bare);
    test_support::remove_tree(elsewhere + "/x");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(c.plant(bare, file, elsewhere), 0) << c.what;
    const std::string said = ct::dump_failure_cause(geteuid());
    EXPECT_NE(said.find(c.cause), std::string::npos) << c.what << ": " << said;
  }
  test_support::remove_tree(bare);
  test_support::remove_tree(elsewhere);
}
