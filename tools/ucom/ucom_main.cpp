// ucom: delivers one command to the debug console of a running process.
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

#include "../common/dump_cause.h"
#include "../common/environment.h"
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
    "Delivers \"RECEIVER COMMAND\" (the words joined by single blanks) to the debug\n"
    "console of process PID, through its socket in the run directory, and prints\n"
    "the receiver's result as result[N], waiting at most MS ms (default 5000).\n"
    "For commRMS UCGETMEMINFO it names the dump file written, or what is in the\n"
    "dump's way; a command commRMS does not act on is named as such.\n"
    "Example: ucom 4242 commRMS UCGETMEMINFO\n"
    "\n"
    "--list prints the processes with a console in the run directory (PID and\n"
    "name); a process of this library has one from its first stored trace line.\n"
    "\n"
    "Exit status: 0 delivered and the result is 0, 1 no such receiver or a result\n"
    "other than 0, 2 bad arguments, 3 not delivered (no such process, no console,\n"
    "refused, timeout).\n";

// The live processes with a console socket in the run directory.
int list_consoles() {
  std::vector<pid_t> pids;
  const int found = vantorel::host::list_consoles(
      [](pid_t pid, bool alive, void* context) {
        if (alive) static_cast<std::vector<pid_t>*>(context)->push_back(pid);
      },
      &pids);
  if (found < 0) {
    const std::string why = found == -EPERM ? comm_rms_tools::run_directory_problem()
                                            : comm_rms_tools::error_text(-found);
    std::fprintf(stderr, "ucom: cannot list the consoles: %s\n", why.c_str());
    return 3;
  }
  std::sort(pids.begin(), pids.end());
  for (const pid_t pid : pids) {
    std::string name;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::getline(comm, name);
    std::printf("%d %s\n", static_cast<int>(pid), name.c_str());
  }
  return 0;
}

int usage_error(const char* message) {
  std::fprintf(stderr, "ucom: %s\n(try ucom --help)\n", message);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  enum { timeout, list, help, version };
  std::vector<comm_rms_tools::given_option> options;
  std::vector<std::string> rest;
  std::string error;
  // Reading stops at PID: the command words go as given.
  if (!comm_rms_tools::read_options(
          std::vector<std::string>(argv, argv + argc),
          {{"timeout", 0, true}, {"list", 0, false}, {"help", 'h', false}, {"version", 0, false}},
          true, options, rest, error)) {
    return usage_error(error.c_str());
  }
  int32_t timeout_ms = kDefaultTimeoutMs;
  for (const comm_rms_tools::given_option& o : options) {
    if (o.index == help) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (o.index == version) {
      std::fputs(comm_rms_tools::version_line("ucom").c_str(), stdout);
      return 0;
    }
    if (o.index == list) return list_consoles();
    if (!comm_rms_tools::parse_count(o.value.c_str(), &timeout_ms) || timeout_ms == 0) {
      return usage_error("--timeout needs a number of milliseconds (1 or more)");
    }
  }
  if (rest.size() < 3) return usage_error("PID, RECEIVER and COMMAND are required");
  int32_t pid = 0;
  if (!comm_rms_tools::parse_count(rest[0].c_str(), &pid) || pid == 0) {
    return usage_error(("'" + rest[0] + "' is not a process id").c_str());
  }
  const std::string& receiver = rest[1];
  if (receiver.empty() || receiver.find_first_of(" \t\n") != std::string::npos) {
    return usage_error("RECEIVER must be one word");
  }
  std::string command = rest[2];
  for (size_t k = 3; k < rest.size(); ++k) command += ' ' + rest[k];
  if (receiver.size() + 1 + command.size() > vantorel::host::kMaxConsoleRequest) {
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
  const int rc = vantorel::host::console_deliver(static_cast<pid_t>(pid), receiver.c_str(),
                                                 command.c_str(), &result, timeout_ms);
  if (rc == 0) {
    std::printf("result[%d]\n", result);
    if (result == vantorel::UCOM_NO_RECEIVER) {
      std::fprintf(stderr, "ucom: process %d has no receiver named '%s'\n", static_cast<int>(pid),
                   receiver.c_str());
      return 1;
    }
    namespace dd = vantorel::debug_dump;
    const bool dump = receiver == dd::receiver_name && command == dd::command;
    if (dump && result == 0) std::printf("dump file: %s\n", dd::path);
    if (dump && result == -1) {
      std::fprintf(
          stderr, "ucom: the dump was not written: %s\n",
          comm_rms_tools::dump_failure_cause(comm_rms_tools::process_user(static_cast<pid_t>(pid)))
              .c_str());
    }
    if (receiver == dd::receiver_name && !dump) {
      // Its receiver answers 0 to anything but its one command, exact case.
      std::fprintf(stderr, "ucom: %s does not act on '%s' (its one command is %s); nothing done\n",
                   dd::receiver_name, command.c_str(), dd::command);
    } else if (result != 0 && !dump) {
      std::fprintf(stderr, "ucom: receiver '%s' answered %d (not 0)\n", receiver.c_str(), result);
    }
    return result == 0 ? 0 : 1;
  }
  namespace host = vantorel::host;
  const std::string bad_dir = comm_rms_tools::run_directory_problem();
  const std::string why =
      rc == -ENOENT ? "has no debug console in " + std::string(host::run_directory())
      : rc == -EPERM && !bad_dir.empty() ? "cannot be reached: " + bad_dir
      : rc == host::kConsoleTimedOut ? "sent no reply within " + std::to_string(timeout_ms) + " ms"
      : rc == host::kConsoleBadRequest ? std::string("refused the request as malformed")
      : rc == host::kConsoleBadReply
          ? std::string("sent a reply that was not understood")
          : "refused the request (" + comm_rms_tools::error_text(-rc) + ")";
  std::fprintf(stderr, "ucom: process %d %s\n", static_cast<int>(pid), why.c_str());
  return 3;
}
