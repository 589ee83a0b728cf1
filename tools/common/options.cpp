#include "options.h"

#include <getopt.h>

namespace comm_rms_tools {

bool read_options(const std::vector<std::string>& words, const std::vector<option_def>& defs,
                  bool in_order, std::vector<given_option>& options, std::vector<std::string>& rest,
                  std::string& error) {
  constexpr int kLong = 256;  // getopt_long's value of definition i: kLong + i
  // '+' stops at the first other word; '-' hands the others back in order
  // (whatever POSIXLY_CORRECT says); ':' reports a missing value apart.
  std::string shorts = in_order ? "+:" : "-:";
  std::vector<option> longs;
  longs.reserve(defs.size() + 1);
  for (size_t i = 0; i < defs.size(); ++i) {
    longs.push_back({defs[i].name, defs[i].has_value ? required_argument : no_argument, nullptr,
                     kLong + static_cast<int>(i)});
    if (defs[i].short_name != 0) {
      shorts += defs[i].short_name;
      if (defs[i].has_value) shorts += ':';
    }
  }
  longs.push_back({nullptr, 0, nullptr, 0});
  std::vector<std::string> copies(words);
  std::vector<char*> argv;
  argv.reserve(copies.size() + 1);
  for (std::string& word : copies) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  const int argc = static_cast<int>(words.size());

  std::vector<given_option> found;
  std::vector<std::string> others;
  opterr = 0;
  optind = 0;  // a fresh scan each call
  int c = 0;
  // getopt_long keeps its state in globals: the tools read their command
  // line before they start any thread.
  while ((c = getopt_long(argc, argv.data(), shorts.c_str(), longs.data(),  // NOLINT
                          nullptr)) != -1) {
    const std::string word = argv[static_cast<size_t>(optind - 1)];
    if (c == 1) {
      others.emplace_back(optarg != nullptr ? optarg : "");
    } else if (c == ':') {
      error = word + " needs a value";
      return false;
    } else if (c == '?') {
      const bool flag_with_value = optopt >= kLong;
      error = flag_with_value ? "--" + std::string(defs[static_cast<size_t>(optopt - kLong)].name) +
                                    " takes no value"
              : optopt != 0 ? std::string("unknown option '-") + static_cast<char>(optopt) + "'"
                            : "unknown option '" + word + "'";
      return false;
    } else {
      int index = c - kLong;
      for (size_t i = 0; index < 0 && i < defs.size(); ++i) {
        if (defs[i].short_name == c) index = static_cast<int>(i);
      }
      found.push_back({index, optarg != nullptr ? optarg : ""});
    }
  }
  for (int i = optind; i < argc; ++i) others.push_back(argv[static_cast<size_t>(i)]);
  options.swap(found);
  rest.swap(others);
  return true;
}

}  // namespace comm_rms_tools
