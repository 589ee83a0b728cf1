// rmsctl: sends the remote-panel service requests through the library and
// prints their results; `shell` keeps one client process alive on stdin;
// `show` reads a dump file back.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
char g_console_socket[256];  // this process's console socket, removed on a fatal signal

// Ctrl-C or a kill while a request waits must not leave our console socket
// behind; then the signal ends the process as it would have.
extern "C" void on_fatal_signal(int sig) {
  if (g_console_socket[0] != '\0') unlink(g_console_socket);
  signal(sig, SIG_DFL);
  raise(sig);
}

// Watches the request in flight: says on stderr what it waits for once it
// has taken longer than one readiness retry, and ends the process when
// --timeout runs out.
class request_watch {
 public:
  explicit request_watch(int timeout_s) : timeout_s_(timeout_s), thread_([this] { run(); }) {}
  ~request_watch() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  request_watch(const request_watch&) = delete;
  request_watch& operator=(const request_watch&) = delete;

  void begin(const char* name) {
    std::lock_guard<std::mutex> lock(mutex_);
    name_ = name;
    started_ = std::chrono::steady_clock::now();
    pending_ = true;
    wake_.notify_all();
  }
  void end() {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ = false;
  }

 private:
  void run() {
    using std::chrono::milliseconds;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!done_) {
      if (!pending_) {
        wake_.wait(lock);
        continue;
      }
      wake_.wait_for(lock, milliseconds(50));
      if (!pending_) continue;
      const auto waited = std::chrono::steady_clock::now() - started_;
      if (!told_ && waited > milliseconds(350)) {
        told_ = true;
        announce();
      }
      if (timeout_s_ > 0 && waited > std::chrono::seconds(timeout_s_)) {
        std::fprintf(stderr, "rmsctl: %s: gave up after %d s without an answer\n", name_,
                     timeout_s_);
        if (g_console_socket[0] != '\0') unlink(g_console_socket);
        _exit(kGaveUp);
      }
    }
  }

  // Without the service's socket the library gives up after its readiness
  // retries (100 pauses of 300 ms); with a socket that does not answer each
  // of the 101 probes may take 1 s, and the request then its reply bound.
  static void announce() {
    const char* facade = vantorel::service_protocol::facade_name;
    const std::string bad_dir =
        comm_rms_tools::run_directory_problem(vantorel::host::run_directory());
    if (!bad_dir.empty()) {
      std::fprintf(stderr,
                   "rmsctl: waiting for the service %s, but the run directory %s (up to 30 s)...\n",
                   facade, bad_dir.c_str());
      return;
    }
    char socket_path[256] = "/";
    vantorel::host::facade_socket_path(facade, socket_path, sizeof socket_path);
    struct stat st {};
    const bool present = lstat(socket_path, &st) == 0;
    const int most = present ? 101 + 30 + vantorel::host::reply_timeout_ms() / 1000 : 30;
    std::fprintf(stderr, "rmsctl: waiting for the service %s at %s/%s%s (up to %d s)...\n", facade,
                 vantorel::host::run_directory(), std::strrchr(socket_path, '/') + 1,
                 present ? "" : " (not there yet)", most);
  }

  const int timeout_s_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  bool pending_ = false;
  bool told_ = false;
  const char* name_ = "";
  std::chrono::steady_clock::time_point started_;
  std::thread thread_;
};

request_watch* g_watch = nullptr;

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

std::string json_text(const char* text, size_t width) {
  std::string out = "\"";
  for (size_t i = 0; i < width && text[i] != '\0'; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

int text_length(const char* field, size_t width) {
  const void* nul = std::memchr(field, '\0', width);
  return nul != nullptr ? static_cast<int>(static_cast<const char*>(nul) - field)
                        : static_cast<int>(width);
}

// One result: "NAME: RETCODE[0x...] name fields" or its JSON object. The
// meaning of the library's own failures goes to stderr.
void print_result(const char* command_word, RETCODE rc, const std::string& text_fields,
                  const std::string& json_fields) {
  const char* name = comm_rms_tools::result_code_name(rc);
  if (g_json) {
    std::printf("{\"command\":\"%s\",\"code\":%d,\"name\":%s%s}\n", command_word,
                static_cast<int>(rc), name != nullptr ? json_text(name, 64).c_str() : "null",
                json_fields.c_str());
  } else {
    std::printf("%s: RETCODE[0x%08X]%s%s%s\n", command_word, static_cast<unsigned>(rc),
                name != nullptr ? " " : "", name != nullptr ? name : "", text_fields.c_str());
  }
  std::fflush(stdout);
  if (rc == comm_rms_tools::kNotReady || rc == BMC_MC_CHANNEL_FAILURE) {
    for (const comm_rms_tools::result_name& r : comm_rms_tools::kResultNames) {
      if (r.code == rc)
        std::fprintf(stderr, "rmsctl: %s: %s: %s\n", command_word, r.name, r.meaning);
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
    std::fwrite(buffer, 1, static_cast<size_t>(n), stdout);
    left -= n;
  }
  close(fd);
  return n >= 0;
}

bool run_dump() {
  open_session();
  const int result = vantorel::host::ucom_deliver(dd::receiver_name, dd::command);
  if (g_json) {
    std::printf("{\"command\":\"dump\",\"code\":%d,\"name\":%s,\"file\":%s}\n", result,
                result == 0 ? "\"ok\"" : "null", json_text(dd::path, sizeof dd::path).c_str());
  } else {
    std::printf("dump: result[%d] file[%s]\n", result, dd::path);
  }
  if (result != 0) {
    std::fflush(stdout);
    if (result == vantorel::UCOM_NO_RECEIVER) {
      std::fprintf(stderr, "rmsctl: dump failed: no \"%s\" receiver\n", dd::receiver_name);
    } else {
      std::fprintf(stderr,
                   "rmsctl: dump failed: %s is missing or unsafe: create it with "
                   "install -d -m 0700 %s\n",
                   dd::directory, dd::directory);
    }
    return false;
  }
  return g_json || print_dump_file();
}

std::string path_fields(const char* path, size_t width, const char* name, int32_t value,
                        bool json) {
  char text[400];
  if (json) {
    std::snprintf(text, sizeof text, ",\"server_path_name\":%s,\"%s\":%d",
                  json_text(path, width).c_str(), name, static_cast<int>(value));
  } else {
    std::snprintf(text, sizeof text, " server_path_name[%.*s] %s[%d]", text_length(path, width),
                  path, name, static_cast<int>(value));
  }
  return text;
}

// Sends one request and prints its result. True when it succeeded.
bool run_command(const command& cmd) {
  vantorel::comm_rms_facade* facade = vantorel::comm_rms_facade::get_instance();
  const char* name = comm_rms_tools::command_name(cmd.kind);
  if (cmd.kind == command_kind::dump) {
    const bool ok = run_dump();
    std::fflush(stdout);
    return ok;
  }
  RETCODE rc = 0;
  std::string text;
  std::string json;
  g_watch->begin(name);
  switch (cmd.kind) {
    case command_kind::register_server:
      rc = facade->register_server(cmd.register_info);
      break;
    case command_kind::unregister_server:
      rc = facade->unregister_server(cmd.unregister_info);
      break;
    case command_kind::path: {
      COMM_RMS_SERVER_PATH_INFO info;
      std::memset(&info, 0, sizeof info);
      rc = facade->get_server_path_name(info);
      text = path_fields(info.server_path_name, sizeof info.server_path_name, "size", info.size,
                         false);
      json =
          path_fields(info.server_path_name, sizeof info.server_path_name, "size", info.size, true);
      break;
    }
    case command_kind::connect_result: {
      COMM_RMS_CONNECT_RESULT_INFO info = cmd.connect_info;
      rc = facade->get_server_connect_result(info);
      text = path_fields(info.server_path_name, sizeof info.server_path_name, "app_ws_error_code",
                         info.app_ws_error_code, false);
      json = path_fields(info.server_path_name, sizeof info.server_path_name, "app_ws_error_code",
                         info.app_ws_error_code, true);
      break;
    }
    case command_kind::rfb_status: {
      COMM_RMS_RFB_GET_STATUS_INFO info = cmd.rfb_info;
      rc = facade->get_rfb_status(info);
      text = " status[" + std::to_string(info.status) + "]";
      json = ",\"status\":" + std::to_string(info.status);
      break;
    }
    case command_kind::dump:
      break;
  }
  g_watch->end();
  print_result(name, rc, text, json);
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
  std::printf("rmsctl shell: pid[%d] ready%s\n", static_cast<int>(getpid()),
              prompt ? " (help, quit, # comment)" : "");
  bool ok = true;
  std::string line;
  bool too_long = false;
  for (;;) {
    if (prompt) std::fputs("rmsctl> ", stdout);
    std::fflush(stdout);
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
      std::fputs(comm_rms_tools::rmsctl_usage(), stdout);
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
  std::vector<std::string> words =
      comm_rms_tools::split_option_values(std::vector<std::string>(argv + 1, argv + argc));
  if (words.size() == 1 && (words[0] == "--help" || words[0] == "-h" || words[0] == "help")) {
    std::fputs(comm_rms_tools::rmsctl_usage(), stdout);
    return 0;
  }
  if (words.size() == 1 && words[0] == "--version") {
    std::fputs(comm_rms_tools::version_line("rmsctl").c_str(), stdout);
    return 0;
  }
  if (!words.empty() && words[0] == "show") return comm_rms_tools::run_show(words);
  int32_t timeout_s = 0;
  while (!words.empty() && (words[0] == "--json" || words[0] == "--timeout")) {
    if (words[0] == "--json") {
      g_json = true;
      words.erase(words.begin());
      continue;
    }
    if (words.size() < 2 || !comm_rms_tools::parse_count(words[1].c_str(), &timeout_s) ||
        timeout_s == 0) {
      return usage_error("--timeout needs a number of seconds (1 or more)");
    }
    words.erase(words.begin(), words.begin() + 2);
  }
  const bool shell = !words.empty() && words[0] == "shell";
  std::vector<command> commands;
  std::string error;
  if (shell && words.size() != 1) {
    std::fprintf(stderr, "rmsctl: shell takes no arguments\n");
    return 2;
  }
  if (!shell && !comm_rms_tools::parse_commands(words, commands, error)) return usage_error(error);

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

  request_watch watch(timeout_s);
  g_watch = &watch;
  const int status = shell ? run_shell() : (run_all(commands) ? 0 : 1);
  g_watch = nullptr;
  return status;
}
