#include "service_options.h"

#include <cstdio>
#include <cstring>

#include "../common/options.h"
#include "../common/parse_number.h"
#include "../common/result_names.h"
#include "comm_rms/records.h"

namespace comm_rms_tools {

namespace {

// Splits "LEFT=NUMBER" at its last '=' (a path may itself hold '=').
bool split_assignment(const char* text, std::string& left, int32_t* number) {
  const char* eq = std::strrchr(text, '=');
  if (eq == nullptr || eq == text) return false;
  left.assign(text, static_cast<size_t>(eq - text));
  return parse_int32(eq + 1, number);
}

}  // namespace

bool parse_service_options(const std::vector<std::string>& words, service_options& options,
                           std::string& error) {
  enum { refuse_checks, delay_ms, exit_after, force_code, connect_result, quiet, help, version };
  const std::vector<option_def> defs = {{"refuse-checks", 0, true},  {"delay-ms", 0, true},
                                        {"exit-after", 0, true},     {"force-code", 0, true},
                                        {"connect-result", 0, true}, {"quiet", 0, false},
                                        {"help", 'h', false},        {"version", 0, false}};
  std::vector<given_option> given;
  std::vector<std::string> rest;
  if (!read_options(words, defs, true, given, rest, error)) {
    return false;
  }
  if (!rest.empty()) {
    error = "unexpected argument '" + rest[0] + "'";
    return false;
  }
  service_options parsed;
  for (const given_option& o : given) {
    const char* value = o.value.c_str();
    const std::string name = std::string("--") + defs[static_cast<size_t>(o.index)].name;
    int32_t count = 0;
    std::string left;
    int32_t code = 0;
    switch (o.index) {
      case quiet:
        parsed.quiet = true;
        break;
      case help:
        parsed.help = true;
        break;
      case version:
        parsed.version = true;
        break;
      case refuse_checks:
      case delay_ms:
      case exit_after:
        if (!parse_count(value, &count)) {
          error = name + ": '" + value + "' is not a count (0 to 2147483647)";
          return false;
        }
        (o.index == refuse_checks ? parsed.refuse_checks
         : o.index == delay_ms    ? parsed.delay_ms
                                  : parsed.exit_after) = count;
        break;
      case force_code:
        if (!split_assignment(value, left, &code) || !parse_count(left.c_str(), &count)) {
          error = "--force-code: '" + o.value + "' is not ID=CODE";
          return false;
        }
        parsed.forced_codes.emplace_back(count, code);
        break;
      default:
        if (!split_assignment(value, left, &code)) {
          error = "--connect-result: '" + o.value + "' is not PATH=CODE";
          return false;
        }
        if (left.size() >= sizeof(COMM_RMS_CONNECT_RESULT_INFO::server_path_name)) {
          error = "--connect-result: path longer than 259 characters";
          return false;
        }
        parsed.connect_results.emplace_back(left, code);
        break;
    }
  }
  options = parsed;
  return true;
}

std::string service_usage() {
  std::string words;
  for (const result_name& r : kResultNames) {
    if (r.code == kNotReady || r.code == BMC_MC_CHANNEL_FAILURE) continue;  // the library's
    char line[128];
    std::snprintf(line, sizeof line, "  0x%08X  %-16s %s\n", static_cast<unsigned>(r.code), r.name,
                  r.meaning);
    words += line;
  }
  return "usage: comm-rms-service [options]\n"
         "\n"
         "Serves the remote-panel service facade \"f_comm_rms\" in the run directory\n"
         "until SIGTERM or SIGINT, printing one line per request and per refused check.\n"
         "\n"
         "  --refuse-checks N         answer the first N readiness checks \"not ready\"\n"
         "  --delay-ms M              wait M ms before each reply\n"
         "  --force-code ID=CODE      reply CODE to every request with message id ID,\n"
         "                            otherwise handled as usual (repeatable)\n"
         "  --connect-result PATH=CODE  connection result of PATH (repeatable)\n"
         "  --exit-after N            exit after N requests (0, the default: never)\n"
         "  --quiet                   no line per request or refused check\n"
         "Numbers: decimal, or hexadecimal with 0x. --opt=value works too.\n"
         "\n"
         "Model: registered servers keyed by path (at most 64). id 3 registers (or\n"
         "replaces; it becomes the newest), id 4 unregisters, id 1 answers the newest\n"
         "server's path and size, id 5 a path's connection result, id 6 1 while a\n"
         "server is registered, else 0. Reply words:\n" +
         words +
         "\n"
         "Exit status: 0 after SIGTERM/SIGINT or --exit-after, 2 on a bad option,\n"
         "1 when the facade cannot be served (the message says why).\n";
}

}  // namespace comm_rms_tools
