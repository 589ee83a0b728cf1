#include "rmsctl_commands.h"

#include <cstring>

#include "../common/options.h"
#include "../common/parse_number.h"

namespace comm_rms_tools {

namespace {

struct syntax {
  const char* name;
  command_kind kind;
  const char* options[2];   // accepted options, without "--"
  unsigned required_count;  // options[0 .. required_count) are required
};

const syntax kSyntaxes[] = {
    {"register", command_kind::register_server, {"url", "path"}, 2},
    {"unregister", command_kind::unregister_server, {"path", "terminated"}, 1},
    {"path", command_kind::path, {nullptr, nullptr}, 0},
    {"connect-result", command_kind::connect_result, {"path", nullptr}, 1},
    {"rfb-status", command_kind::rfb_status, {"word", nullptr}, 0},
    {"dump", command_kind::dump, {nullptr, nullptr}, 0},
};

const syntax* find_syntax(const std::string& word) {
  for (const syntax& s : kSyntaxes) {
    if (word == s.name) return &s;
  }
  return nullptr;
}

// Copies `text` into a field of `width` bytes, refusing what would not fit
// with its NUL, and control characters: a newline would forge a line of the
// dump.
bool put_text(char* field, size_t width, const std::string& text, const char* what,
              const char* command_word, std::string& error) {
  if (text.empty() && std::strcmp(what, "path") == 0) {
    error = std::string(command_word) + ": empty --path";
    return false;
  }
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte != 0 && (byte < 0x20 || byte == 0x7F)) {
      error = std::string(command_word) + ": " + what + " contains a control character";
      return false;
    }
  }
  if (text.size() >= width || text.find('\0') != std::string::npos) {
    error = std::string(command_word) + ": " + what + " longer than " + std::to_string(width - 1) +
            " characters";
    return false;
  }
  std::memcpy(field, text.c_str(), text.size() + 1);
  return true;
}

// A 32-bit number option into `field`, when it was given.
bool put_number(int32_t& field, const std::string& value, bool given, const char* option,
                const char* command_word, std::string& error) {
  if (!given || parse_int32(value.c_str(), &field)) return true;
  error = std::string(command_word) + ": --" + option + " '" + value + "' is not a 32-bit number";
  return false;
}

bool fill(const syntax& s, const std::string values[2], const bool given[2], command& cmd,
          std::string& error) {
  switch (s.kind) {
    case command_kind::register_server:
      return put_text(cmd.register_info.url, sizeof cmd.register_info.url, values[0], "url", s.name,
                      error) &&
             put_text(cmd.register_info.server_pathname, sizeof cmd.register_info.server_pathname,
                      values[1], "path", s.name, error);
    case command_kind::unregister_server:
      return put_number(cmd.unregister_info.is_terminated, values[1], given[1], "terminated",
                        s.name, error) &&
             put_text(cmd.unregister_info.server_pathname,
                      sizeof cmd.unregister_info.server_pathname, values[0], "path", s.name, error);
    case command_kind::connect_result:
      return put_text(cmd.connect_info.server_path_name, sizeof cmd.connect_info.server_path_name,
                      values[0], "path", s.name, error);
    case command_kind::rfb_status:
      return put_number(cmd.rfb_info.status, values[0], given[0], "word", s.name, error);
    case command_kind::path:
    case command_kind::dump:
      return true;
  }
  return true;
}

}  // namespace

const char* command_name(command_kind kind) {
  for (const syntax& s : kSyntaxes) {
    if (s.kind == kind) return s.name;
  }
  return "?";
}

bool parse_commands(const std::vector<std::string>& words, std::vector<command>& out,
                    std::string& error) {
  out.clear();
  std::vector<command> parsed;
  if (words.empty()) {
    error = "no command given";
    return false;
  }
  std::vector<std::string> rest = words;
  while (!rest.empty()) {
    const syntax* s = find_syntax(rest[0]);
    if (s == nullptr) {
      error = "unknown command '" + rest[0] + "'";
      return false;
    }
    std::vector<option_def> defs;
    for (const char* name : s->options) {
      if (name != nullptr) defs.push_back({name, 0, true});
    }
    std::vector<given_option> options;
    const std::vector<std::string> segment = rest;
    if (!read_options(segment, defs, true, options, rest, error)) {
      error.insert(0, std::string(s->name) + ": ");
      return false;
    }
    std::string values[2];
    bool given[2] = {false, false};
    for (const given_option& o : options) {
      const size_t slot = static_cast<size_t>(o.index);
      if (given[slot]) {
        error = std::string(s->name) + ": --" + s->options[slot] + " given twice";
        return false;
      }
      given[slot] = true;
      values[slot] = o.value;
    }
    for (unsigned k = 0; k < s->required_count; ++k) {
      if (!given[k]) {
        error = std::string(s->name) + ": missing --" + s->options[k];
        return false;
      }
    }
    command cmd;
    std::memset(&cmd, 0, sizeof cmd);
    cmd.kind = s->kind;
    if (!fill(*s, values, given, cmd, error)) return false;
    parsed.push_back(cmd);
  }
  out.swap(parsed);
  return true;
}

std::vector<std::string> split_words(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

const char* rmsctl_usage() {
  return "usage: rmsctl [--json] [--timeout SECONDS] COMMAND [COMMAND...]\n"
         "       rmsctl [--json] [--timeout SECONDS] shell\n"
         "       rmsctl show FILE [--level L] [--thread T] [--function F] [--since S]\n"
         "                        [--wide] [--html OUT]\n"
         "       rmsctl --version | --help\n"
         "\n"
         "Commands (each sends one request to the remote-panel service):\n"
         "  register --url U --path P            U and P up to 256 characters each\n"
         "  unregister --path P [--terminated N] P up to 259 characters\n"
         "  path                                 newest server's path name and size\n"
         "  connect-result --path P              connection result of a server (P up to 259)\n"
         "  rfb-status [--word N]                RFB status (N: the word sent, default 0)\n"
         "  dump                                 write and print this process's dump file\n"
         "Numbers: 32-bit decimal, or hexadecimal with 0x. --opt=value works too.\n"
         "\n"
         "Each result is printed as RETCODE[0x........], its name (ok, not-ready,\n"
         "channel-failure, the simulator's no-server, ...) and the returned fields;\n"
         "with --json as one JSON object per line on stdout, and nothing else there.\n"
         "While the service does not answer, stderr says what is awaited and for how\n"
         "long at most; --timeout gives up after SECONDS. shell reads the commands\n"
         "from stdin, one line each (help, quit, # comments).\n"
         "\n"
         "show prints a dump file: its connections as one table (cells cut to their\n"
         "column, whole with --wide) and its operation log, filtered by level (ERR, WRN,\n"
         "IMP, INF, PERFORM, other; any case), thread number, part of the function name\n"
         "or start time (YYYY-MM-DD HH:MM:SS or a start of it, or HH:MM[:SS]). --html OUT\n"
         "writes a page of the same lines instead, where typing narrows them. Lines it\n"
         "cannot read are listed on stderr.\n"
         "\n"
         "Exit status: 0 all succeeded, 1 a request or the dump failed (or FILE is not\n"
         "a regular file holding a dump), 2 bad input (nothing is sent when any command\n"
         "of the line is bad), 3 gave up waiting (--timeout).\n";
}

}  // namespace comm_rms_tools
