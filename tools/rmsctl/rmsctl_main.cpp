// rmsctl: sends the remote-panel service requests through the library and
// prints their results; `shell` keeps one client process alive on stdin;
// `show` reads a dump file back.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "../common/dump_cause.h"
#include "../common/environment.h"
#include "../common/error_text.h"
#include "../common/options.h"
#include "../common/parse_number.h"
#include "../common/result_names.h"
#include "comm_rms/comm_rms.h"
#include "comm_rms/debug_dump.h"
#include "comm_rms/service_protocol.h"
#include "dump_view.h"
#include "rmsctl_commands.h"
#include "vantorel/host/host.h"

namespace {

using comm_rms_tools::command;
using comm_rms_tools::command_kind;

namespace dd = vantorel::debug_dump;
constexpr size_t kMaxLine = 4096;
constexpr int kGaveUp = 3;  // exit status when --timeout ran out

bool g_json = false;
// Results go here, the process's stdout; the descriptor 1 itself points at
// stderr, so that what the library prints (a failed dump says so, also when
// another process asks for one) never lands between the results.
FILE* g_out = stdout;
char g_console_socket[256];  // this process's console socket, removed on a fatal signal

// Ctrl-C or a kill while a request waits must not leave our console socket
// behind; then the signal ends the process as it would have.
extern "C" void on_fatal_signal(int sig) {
  if (g_console_socket[0] != '\0') unlink(g_console_socket);
  signal(sig, SIG_DFL);
  raise(sig);
}

enum class listener { absent, stale, listening };

// Whether a server accepts on `path`: a socket file nobody accepts on is
// left behind by a service that died.
listener listener_state(const char* path) {
  struct stat st {};
  if (lstat(path, &st) != 0) return listener::absent;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path, strnlen(path, sizeof address.sun_path - 1));
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return listener::listening;  // cannot tell: assume the longer wait
  const bool refused =
      connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
      errno == ECONNREFUSED;
  close(fd);
  return refused ? listener::stale : listener::listening;
}

// What the library's wait can take at most: without a listener, its
// readiness pauses; with one, each check may also take a probe's wait
// (1 s at most) and the request then its reply bound. --timeout cuts it.
void announce(int timeout_s) {
  namespace sp = vantorel::service_protocol;
  const char* facade = sp::facade_name;
  char socket_path[256] = "";
  vantorel::host::facade_socket_path(facade, socket_path, sizeof socket_path);
  const int pauses_s = static_cast<int>((sp::readiness_checks - 1) * sp::readiness_pause / 1000);
  const int reply_ms = vantorel::host::reply_timeout_ms();
  const char* state = "";
  int most = pauses_s;
  switch (listener_state(socket_path)) {
    case listener::absent:
      state = " (not there yet)";
      break;
    case listener::stale:
      state = " (a socket nobody listens on: is comm-rms-service running?)";
      break;
    case listener::listening:
      most += (sp::readiness_checks * (reply_ms < 1000 ? reply_ms : 1000) + reply_ms) / 1000;
      break;
  }
  if (timeout_s > 0 && timeout_s < most) most = timeout_s;
  std::fprintf(stderr, "rmsctl: waiting for the service %s at %s%s (up to %d s)...\n", facade,
               comm_rms_tools::shown_socket_path(facade).c_str(), state, most);
}

// The request in flight (null: none) and when it began, in ms of the
// steady clock; the watcher reads them.
std::atomic<const char*> g_pending{nullptr};
std::atomic<long long> g_began_ms{0};

long long now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Says on stderr what the request in flight waits for once it has taken
// longer than one readiness retry, and ends the process when --timeout runs
// out.
void watch_requests(int timeout_s) {
  bool told = false;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const char* name = g_pending.load();
    const long long waited = now_ms() - g_began_ms.load();
    if (name == nullptr) continue;
    if (!told && waited > 350) {
      told = true;
      announce(timeout_s);
    }
    if (timeout_s > 0 && waited > timeout_s * 1000LL) {
      std::fprintf(stderr, "rmsctl: %s: gave up after %d s without an answer\n", name, timeout_s);
      if (g_console_socket[0] != '\0') unlink(g_console_socket);
      _exit(kGaveUp);
    }
  }
}

// The library's console receiver exists once its log store does, and the
// store is created by the first stored trace line. Tracing one line makes
// the receiver (and this process's console socket) exist before a dump.
void open_session() {
  static bool opened = false;
  if (opened) return;
  opened = true;
  comm_rms_operation_log(1, COMM_RMS_LEVEL_INFORMATION, __LINE__, "void rmsctl::session::open()",
                         "rmsctl session pid[%d]", static_cast<int>(getpid()));
}

// A returned field: a text field of `width` bytes, or a number.
struct field {
  const char* name;
  const char* text;
  size_t width;
  int32_t number;
};

// One result: "NAME: RETCODE[0x...] name fields" or its JSON object. The
// meaning of the library's own failures goes to stderr.
void print_result(const char* command_word, int32_t rc, std::initializer_list<field> fields) {
  const char* name = comm_rms_tools::result_code_name(rc);
  char line[128];  // the fields follow
  if (g_json) {
    std::snprintf(line, sizeof line, "{\"command\":\"%s\",\"code\":%d,\"name\":%s%s%s",
                  command_word, static_cast<int>(rc), name != nullptr ? "\"" : "",
                  name != nullptr ? name : "null", name != nullptr ? "\"" : "");
  } else if (std::strcmp(command_word, "dump") == 0) {  // a console result, not a RETCODE
    std::snprintf(line, sizeof line, "dump: result[%d]", static_cast<int>(rc));
  } else {
    std::snprintf(line, sizeof line, "%s: RETCODE[0x%08X]%s%s", command_word,
                  static_cast<unsigned>(rc), name != nullptr ? " " : "",
                  name != nullptr ? name : "");
  }
  std::string text = line;
  for (const field& f : fields) {
    std::string value =
        f.text != nullptr ? comm_rms_tools::printable(std::string(f.text, strnlen(f.text, f.width)))
                          : std::to_string(f.number);
    if (g_json) {
      if (f.text != nullptr) {
        for (size_t at = 0; (at = value.find_first_of("\"\\", at)) != std::string::npos; at += 2) {
          value.insert(at, 1, '\\');
        }
        value.insert(0, 1, '"');
        value += '"';
      }
      text += std::string(",\"") + f.name + "\":" + value;
    } else {
      text += std::string(" ") + f.name + "[" + value + "]";
    }
  }
  std::fprintf(g_out, "%s%s\n", text.c_str(), g_json ? "}" : "");
  std::fflush(g_out);
  if (rc == comm_rms_tools::kNotReady || rc == BMC_MC_CHANNEL_FAILURE) {
    for (const comm_rms_tools::result_name& r : comm_rms_tools::kResultNames) {
      if (r.code == rc)
        std::fprintf(stderr, "rmsctl: %s: %s: %s%s\n", command_word, r.name, r.meaning,
                     rc == comm_rms_tools::kNotReady
                         ? " (start the service first: comm-rms-service &)"
                         : "");
    }
  }
}

// Prints the dump file back only when it is what the dump just wrote: our
// own regular file with one link, opened without following a link and
// without waiting (a FIFO put in its place neither blocks nor is read), and
// read no further than its size at opening.
bool print_dump_file() {
  const int fd = open(dd::path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "rmsctl: dump: cannot read %s: %s\n", dd::path,
                 comm_rms_tools::error_text(errno).c_str());
    return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
    close(fd);
    std::fprintf(stderr, "rmsctl: dump: %s is not this user's own file; not printed\n", dd::path);
    return false;
  }
  char buffer[4096];
  off_t left = st.st_size;
  ssize_t n = 0;
  while (left > 0 && (n = read(fd, buffer,
                               left < static_cast<off_t>(sizeof buffer) ? static_cast<size_t>(left)
                                                                        : sizeof buffer)) > 0) {
    std::fwrite(buffer, 1, static_cast<size_t>(n), g_out);
    left -= n;
  }
  close(fd);
  return n >= 0;
}

bool run_dump() {
  open_session();
  const int result = vantorel::host::ucom_deliver(dd::receiver_name, dd::command);
  print_result("dump", result, {{"file", dd::path, sizeof dd::path, 0}});
  if (result == vantorel::UCOM_NO_RECEIVER) {
    std::fprintf(stderr, "rmsctl: dump failed: no \"%s\" receiver\n", dd::receiver_name);
  } else if (result != 0) {
    std::fprintf(stderr, "rmsctl: dump failed: %s\n",
                 comm_rms_tools::dump_failure_cause(geteuid()).c_str());
  }
  return result == 0 && (g_json || print_dump_file());
}

// Sends one request and prints its result. True when it succeeded.
bool run_command(const command& cmd) {
  vantorel::comm_rms_facade* facade = vantorel::comm_rms_facade::get_instance();
  const char* name = comm_rms_tools::command_name(cmd.kind);
  if (cmd.kind == command_kind::dump) return run_dump();
  COMM_RMS_SERVER_PATH_INFO path{};
  COMM_RMS_CONNECT_RESULT_INFO connect = cmd.connect_info;
  COMM_RMS_RFB_GET_STATUS_INFO rfb = cmd.rfb_info;
  g_began_ms.store(now_ms());
  g_pending.store(name);
  const RETCODE rc =
      cmd.kind == command_kind::register_server     ? facade->register_server(cmd.register_info)
      : cmd.kind == command_kind::unregister_server ? facade->unregister_server(cmd.unregister_info)
      : cmd.kind == command_kind::path              ? facade->get_server_path_name(path)
      : cmd.kind == command_kind::connect_result    ? facade->get_server_connect_result(connect)
                                                    : facade->get_rfb_status(rfb);
  g_pending.store(nullptr);
  if (cmd.kind == command_kind::path) {
    print_result(name, rc,
                 {{"server_path_name", path.server_path_name, sizeof path.server_path_name, 0},
                  {"size", nullptr, 0, path.size}});
  } else if (cmd.kind == command_kind::connect_result) {
    print_result(
        name, rc,
        {{"server_path_name", connect.server_path_name, sizeof connect.server_path_name, 0},
         {"app_ws_error_code", nullptr, 0, connect.app_ws_error_code}});
  } else if (cmd.kind == command_kind::rfb_status) {
    print_result(name, rc, {{"status", nullptr, 0, rfb.status}});
  } else {
    print_result(name, rc, {});
  }
  return rc == 0;
}

bool run_all(const std::vector<command>& commands) {
  bool ok = true;
  for (const command& cmd : commands) ok = run_command(cmd) && ok;
  return ok;
}

// Reads one line of at most kMaxLine characters; a longer one is consumed
// whole and reported through `too_long`. False at end of input.
bool read_line(std::string& line, bool& too_long) {
  line.clear();
  too_long = false;
  int c = 0;
  bool any = false;
  while ((c = std::getchar()) != EOF) {
    any = true;
    if (c == '\n') return true;
    if (line.size() < kMaxLine) {
      line.push_back(static_cast<char>(c));
    } else {
      too_long = true;
    }
  }
  return any;
}

int run_shell() {
  open_session();
  const bool prompt = isatty(STDIN_FILENO) != 0;
  // Only results go to stdout (one JSON object per line with --json).
  std::fprintf(stderr, "rmsctl shell: pid[%d] ready%s\n", static_cast<int>(getpid()),
               prompt ? " (help, quit, # comment)" : "");
  bool ok = true;
  std::string line;
  bool too_long = false;
  for (;;) {
    if (prompt) std::fputs("rmsctl> ", stderr);
    std::fflush(g_out);
    if (!read_line(line, too_long)) break;
    if (too_long) {
      std::fprintf(stderr, "rmsctl: line longer than %zu characters ignored\n", kMaxLine);
      ok = false;
      continue;
    }
    const std::vector<std::string> words = comm_rms_tools::split_words(line);
    if (words.empty() || words[0][0] == '#') continue;
    if (words.size() == 1 && (words[0] == "quit" || words[0] == "exit")) break;
    if (words.size() == 1 && words[0] == "help") {
      std::fputs(comm_rms_tools::rmsctl_usage(), g_json ? stderr : g_out);
      continue;
    }
    std::vector<command> commands;
    std::string error;
    if (!comm_rms_tools::parse_commands(words, commands, error)) {
      std::fprintf(stderr, "rmsctl: %s\n", error.c_str());
      ok = false;
      continue;
    }
    ok = run_all(commands) && ok;
  }
  return ok ? 0 : 1;
}

int usage_error(const std::string& message) {
  std::fprintf(stderr, "rmsctl: %s\n(try rmsctl --help)\n", message.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  enum { json, timeout, help, version };
  std::vector<comm_rms_tools::given_option> options;
  std::vector<std::string> words;
  std::string error;
  if (!comm_rms_tools::read_options(
          std::vector<std::string>(argv, argv + argc),
          {{"json", 0, false}, {"timeout", 0, true}, {"help", 'h', false}, {"version", 0, false}},
          true, options, words, error)) {
    return usage_error(error);
  }
  int32_t timeout_s = 0;
  for (const comm_rms_tools::given_option& o : options) {
    if (o.index == help) {
      std::fputs(comm_rms_tools::rmsctl_usage(), stdout);
      return 0;
    }
    if (o.index == version) {
      std::fputs(comm_rms_tools::version_line("rmsctl").c_str(), stdout);
      return 0;
    }
    if (o.index == json) g_json = true;
    if (o.index == timeout &&
        (!comm_rms_tools::parse_count(o.value.c_str(), &timeout_s) || timeout_s == 0)) {
      return usage_error("--timeout needs a number of seconds (1 or more)");
    }
  }
  if (words.size() == 1 && words[0] == "help") {
    std::fputs(comm_rms_tools::rmsctl_usage(), stdout);
    return 0;
  }
  if (!words.empty() && words[0] == "show") return comm_rms_tools::run_show(words);
  const bool shell = !words.empty() && words[0] == "shell";
  std::vector<command> commands;
  if (shell && words.size() != 1) {
    std::fprintf(stderr, "rmsctl: shell takes no arguments\n");
    return 2;
  }
  if (!shell && !comm_rms_tools::parse_commands(words, commands, error)) return usage_error(error);
  // A run directory that cannot work is not waited for.
  bool needs_service = shell;
  for (const command& cmd : commands) needs_service |= cmd.kind != command_kind::dump;
  const std::string bad_dir = comm_rms_tools::run_directory_problem();
  if (needs_service && !bad_dir.empty()) {
    std::fprintf(stderr, "rmsctl: %s\n", bad_dir.c_str());
    return 1;
  }

  const std::string bad_timeout = comm_rms_tools::reply_timeout_problem();
  if (!bad_timeout.empty()) std::fprintf(stderr, "rmsctl: %s\n", bad_timeout.c_str());
  if (vantorel::host::console_socket_path(getpid(), g_console_socket, sizeof g_console_socket) !=
      0) {
    g_console_socket[0] = '\0';
  }
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = on_fatal_signal;
  sigemptyset(&action.sa_mask);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);

  const int results = dup(STDOUT_FILENO);
  FILE* out = results >= 0 ? fdopen(results, "w") : nullptr;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (out != nullptr && dup2(STDERR_FILENO, STDOUT_FILENO) >= 0) g_out = out;
  std::thread(watch_requests, timeout_s).detach();
  return shell ? run_shell() : (run_all(commands) ? 0 : 1);
}
