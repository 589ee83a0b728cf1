// ucom: delivers one command to the debug console of a running process.
#include <dirent.h>
#include <signal.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "../common/error_text.h"
#include "../common/options.h"
#include "../common/parse_number.h"
#include "comm_rms/debug_dump.h"
#include "vantorel/host/host.h"
#include "vantorel/ucom.h"

namespace {

constexpr int kDefaultTimeoutMs = 5000;

const char* kUsage =
    "usage: ucom [--timeout MS] PID RECEIVER COMMAND...\n"
    "       ucom --list | --version | --help\n"
    "\n"
    "Delivers \"RECEIVER COMMAND\" (the command words joined by single blanks) to\n"
    "the debug console of process PID, through its socket in the run directory\n"
    "($VANTOREL_RUN_DIR, else the platform's default), and prints the receiver's\n"
    "result as result[N]. Waits at most MS ms for it (default 5000; decimal or 0x\n"
    "hexadecimal; --timeout=MS works too). For commRMS UCGETMEMINFO it also names\n"
    "the dump file written, or the likely cause when the result is -1.\n"
    "Example: ucom 4242 commRMS UCGETMEMINFO\n"
    "\n"
    "--list prints the processes that have a console in the run directory (PID and\n"
    "program name). A process of this library gets its console with its first\n"
    "stored trace line (its log store is made on first use).\n"
    "\n"
    "Exit status: 0 delivered and the result is 0, 1 no receiver of that name or\n"
    "a result other than 0, 2 bad arguments, 3 not delivered (no such process, no\n"
    "console, refused, timeout).\n";

// The live processes with a console socket in the run directory.
int list_consoles() {
  const char* dir_name = vantorel::host::run_directory();
  DIR* dir = opendir(dir_name);
  if (dir == nullptr) {
    std::fprintf(stderr, "ucom: cannot read the run directory %s: %s\n", dir_name,
                 comm_rms_tools::error_text(errno).c_str());
    return 3;
  }
  std::vector<long> pids;
  while (const dirent* entry = readdir(dir)) {
    if (std::strncmp(entry->d_name, "ucom.", 5) != 0) continue;
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name + 5, &end, 10);
    if (end != entry->d_name + 5 && std::strcmp(end, ".sock") == 0 && pid > 0 &&
        (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)) {
      pids.push_back(pid);
    }
  }
  closedir(dir);
  std::sort(pids.begin(), pids.end());
  for (const long pid : pids) {
    std::string name;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::getline(comm, name);
    std::printf("%ld %s\n", pid, name.c_str());
  }
  return 0;
}

int usage_error(const char* message) {
  std::fprintf(stderr, "ucom: %s\n(try ucom --help)\n", message);
  return 2;
}

}  // namespace

int main(int argc_given, char** argv_given) {
  // Only options before PID are split: the command words go as given.
  std::vector<std::string> given(argv_given + 1, argv_given + argc_given);
  std::vector<std::string> words;
  if (!given.empty() && given[0].compare(0, 10, "--timeout=") == 0) {
    words = comm_rms_tools::split_option_values({given[0]});
    given.erase(given.begin());
  }
  words.insert(words.begin(), "ucom");
  words.insert(words.end(), given.begin(), given.end());
  std::vector<const char*> args;
  args.reserve(words.size());
  for (const std::string& w : words) args.push_back(w.c_str());
  const int argc = static_cast<int>(args.size());
  const char* const* argv = args.data();

  int i = 1;
  int32_t timeout_ms = kDefaultTimeoutMs;
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::fputs(comm_rms_tools::version_line("ucom").c_str(), stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--list") == 0) return list_consoles();
  if (i < argc && std::strcmp(argv[i], "--timeout") == 0) {
    if (i + 1 >= argc || !comm_rms_tools::parse_count(argv[i + 1], &timeout_ms) ||
        timeout_ms == 0) {
      return usage_error("--timeout needs a number of milliseconds (1 or more)");
    }
    i += 2;
  }
  if (argc - i < 3) return usage_error("PID, RECEIVER and COMMAND are required");
  int32_t pid = 0;
  if (!comm_rms_tools::parse_count(argv[i], &pid) || pid == 0) {
    return usage_error((std::string("'") + argv[i] + "' is not a process id").c_str());
  }
  const char* receiver = argv[i + 1];
  if (receiver[0] == '\0' || std::strpbrk(receiver, " \t\n") != nullptr) {
    return usage_error("RECEIVER must be one word");
  }
  std::string command;
  for (int k = i + 2; k < argc; ++k) {
    if (k > i + 2) command += ' ';
    command += argv[k];
  }
  if (std::strlen(receiver) + 1 + command.size() > vantorel::host::kMaxConsoleRequest) {
    char message[96];
    std::snprintf(message, sizeof message, "request longer than %u bytes",
                  vantorel::host::kMaxConsoleRequest);
    return usage_error(message);
  }

  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
    std::fprintf(stderr, "ucom: no such process %d\n", static_cast<int>(pid));
    return 3;
  }

  int result = 0;
  const int rc = vantorel::host::console_deliver(static_cast<pid_t>(pid), receiver, command.c_str(),
                                                 &result, timeout_ms);
  if (rc == 0) {
    std::printf("result[%d]\n", result);
    if (result == vantorel::UCOM_NO_RECEIVER) {
      std::fprintf(stderr, "ucom: process %d has no receiver named '%s'\n", static_cast<int>(pid),
                   receiver);
      return 1;
    }
    namespace dd = vantorel::debug_dump;
    const bool dump = std::strcmp(receiver, dd::receiver_name) == 0 && command == dd::command;
    if (dump && result == 0) std::printf("dump file: %s\n", dd::path);
    if (dump && result == -1) {
      std::fprintf(
          stderr,
          "ucom: the dump was not written: " COMM_RMS_DUMP_DIRECTORY
          " is missing or unsafe: create it with install -d -m 0700 " COMM_RMS_DUMP_DIRECTORY "\n");
    }
    if (result != 0 && !dump) {
      std::fprintf(stderr, "ucom: receiver '%s' answered %d (not 0)\n", receiver, result);
    }
    return result == 0 ? 0 : 1;
  }
  const int p = static_cast<int>(pid);
  switch (rc) {
    case -ENOENT:
      std::fprintf(stderr, "ucom: process %d has no debug console in %s\n", p,
                   vantorel::host::run_directory());
      break;
    case -ECONNREFUSED:
    case -ECONNRESET:
    case -EPIPE:
    case -EACCES:
    case -EPERM:
      std::fprintf(stderr, "ucom: process %d refused the request (%s)\n", p,
                   comm_rms_tools::error_text(-rc).c_str());
      break;
    case vantorel::host::kConsoleTimedOut:
      std::fprintf(stderr, "ucom: no reply from process %d within %d ms\n", p,
                   static_cast<int>(timeout_ms));
      break;
    case vantorel::host::kConsoleBadRequest:
      std::fprintf(stderr, "ucom: process %d refused the request as malformed\n", p);
      break;
    case vantorel::host::kConsoleBadReply:
      std::fprintf(stderr, "ucom: process %d sent a reply that was not understood\n", p);
      break;
    default:
      std::fprintf(
          stderr, "ucom: delivery to process %d failed: %s\n", p,
          rc < 0 && rc > -4096 ? comm_rms_tools::error_text(-rc).c_str() : "unknown error");
      break;
  }
  return 3;
}
