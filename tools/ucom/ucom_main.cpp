// ucom: delivers one command to the debug console of a running process.
#include <signal.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "../common/error_text.h"
#include "../common/parse_number.h"
#include "vantorel/host/host.h"
#include "vantorel/ucom.h"

namespace {

constexpr int kDefaultTimeoutMs = 5000;

const char* kUsage =
    "usage: ucom [--timeout MS] PID RECEIVER COMMAND...\n"
    "\n"
    "Delivers \"RECEIVER COMMAND\" (the command words joined by single blanks) to\n"
    "the debug console of process PID, through its socket in the run directory\n"
    "($VANTOREL_RUN_DIR, else the platform's default), and prints the receiver's\n"
    "result as result[N]. Waits at most MS ms for it (default 5000).\n"
    "Example: ucom 4242 commRMS UCGETMEMINFO\n"
    "\n"
    "Exit status: 0 delivered, 1 no receiver of that name, 2 bad arguments,\n"
    "3 not delivered (no such process, no console, refused, timeout).\n";

int usage_error(const char* message) {
  std::fprintf(stderr, "ucom: %s\n(try ucom --help)\n", message);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int i = 1;
  int32_t timeout_ms = kDefaultTimeoutMs;
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
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
    return 0;
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
