// The tools' pure parts, driven directly: the command language, the
// simulator's options (the dump failure's diagnosis: integration_tools_test).
#include <gtest/gtest.h>

#include <string>

#include "rmsctl_commands.h"
#include "service_options.h"
#include "test_support.h"

namespace ct = comm_rms_tools;

// rmsctl's command language and the simulator's options (lines starting
// with "s "), both read by the one option reader.
TEST(Tools, CommandLinesParseOrAreRefusedByName) {
  const std::pair<std::string, std::string> cases[] = {
      // a line, its error ("": it parses)
      {"register --url=vnc://h --path /p path rfb-status --word 0xFFFFFFFE", ""},
      {"register --url " + std::string(257, 'u') + " --path /p",
       "register: url longer than 256 characters"},
      {"register --url u --url v --path p", "register: --url given twice"},
      {"path --path x", "path: unknown option '--path'"},
      {"unregister --path", "unregister: --path needs a value"},
      {"register --url u --path p bogus", "unknown command 'bogus'"},
      {"connect-result --path /a\x1b[2K", "connect-result: path contains a control character"},
      {"s --delay-ms=5 --force-code 3=-2 --connect-result /a=b=7 --quiet", ""},
      {"s --quiet=1", "--quiet takes no value"},
  };
  for (const auto& [line, refusal] : cases) {
    const std::vector<std::string> words = test_support::words(line);
    std::vector<ct::command> out;
    ct::service_options options;
    std::string error;
    const bool parsed = words[0] == "s" ? ct::parse_service_options(words, options, error)
                                        : ct::parse_commands(words, out, error);
    EXPECT_TRUE(parsed == refusal.empty() && error == refusal) << line << ": " << error;
  }
}
