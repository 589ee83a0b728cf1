// The tools' pure parts, driven directly: the command language, the
// simulator's options and the dump failure's diagnosis.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "../../tools/common/dump_cause.h"
#include "rmsctl_commands.h"
#include "service_options.h"
#include "test_support.h"

namespace ct = comm_rms_tools;

// rmsctl's command language and the simulator's options (lines starting
// with "s "), both read by the one option reader.
TEST(Tools, CommandLinesParseOrAreRefusedByName) {
  const struct {
    std::string line;
    const char* error;  // "" when it parses
  } cases[] = {
      {"register --url=vnc://h --path /p path rfb-status --word 0xFFFFFFFE", ""},
      {"register --url " + std::string(257, 'u') + " --path /p",
       "register: url longer than 256 characters"},
      {"register --url u", "register: missing --path"},
      {"register --url u --url v --path p", "register: --url given twice"},
      {"path --path x", "path: unknown option '--path'"},
      {"unregister --path", "unregister: --path needs a value"},
      {"register --url u --path p bogus", "unknown command 'bogus'"},
      {"connect-result --path /a\x1b[2K", "connect-result: path contains a control character"},
      {"s --delay-ms=5 --force-code 3=-2 --connect-result /a=b=7 --quiet", ""},
      {"s --quiet=1", "--quiet takes no value"},
      {"s stray", "unexpected argument 'stray'"},
  };
  for (const auto& c : cases) {
    const std::vector<std::string> words = test_support::words(c.line);
    std::vector<ct::command> out;
    ct::service_options options;
    std::string error;
    EXPECT_EQ(words[0] == "s" ? ct::parse_service_options(words, options, error)
                              : ct::parse_commands(words, out, error),
              c.error[0] == '\0')
        << c.line;
    EXPECT_EQ(error, c.error) << c.line;
  }
  std::vector<ct::command> out;
  std::string error;
  ASSERT_TRUE(ct::parse_commands(test_support::words(cases[0].line), out, error));
  ASSERT_EQ(out.size(), 3u);
  EXPECT_STREQ(out[0].register_info.url, "vnc://h");
  EXPECT_STREQ(out[0].register_info.server_pathname, "/p");
  EXPECT_EQ(out[2].rfb_info.status, -2);
}

// What is found in the dump's way is named, not always the directory.
TEST(Tools, DumpFailureNamesWhatIsInTheWay) {
  test_support::fixed_dump_dir guard;
  REQUIRE_FIXED_DUMP_DIR(guard);
  const std::string dir = guard.kPath, elsewhere = test_support::make_temp_dir("comm_rms_else.");
  setenv("D", dir.substr(0, dir.size() - 1).c_str(), 1);
  setenv("F", guard.kFile, 1);
  setenv("E", elsewhere.c_str(), 1);
  const struct {
    const char* plant;  // shell commands
    const char* cause;
  } cases[] = {
      {"rmdir $D", " does not exist"},
      {"rmdir $D && ln -s $E $D", " is a symbolic link"},
      {"ln -s $E $F", " is a symbolic link: remove it"},
      {"mkdir $F", " is a directory"},
      {"echo kept >$E/x && ln $E/x $F", " is a file with more than one hard link"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(std::system("rm -rf $D $E/x && mkdir -m 0700 $D"), 0);
    ASSERT_EQ(std::system(c.plant), 0) << c.plant;
    const std::string said = ct::dump_failure_cause(geteuid());
    EXPECT_NE(said.find(c.cause), std::string::npos) << c.plant << ": " << said;
  }
  test_support::remove_tree(dir);
  test_support::remove_tree(elsewhere);
}
