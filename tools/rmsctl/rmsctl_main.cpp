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
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
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

  // What the library's wait can take at most: without a listener, its
  // readiness pauses; with one, each check may also take a probe's wait
  // (1 s at most) and the request then its reply bound. --timeout cuts it.
  void announce() const {
    namespace sp = vantorel::service_protocol;
    const char* facade = sp::facade_name;
    char socket_path[256];
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
    if (timeout_s_ > 0 && timeout_s_ < most) most = timeout_s_;
    std::fprintf(stderr, "rmsctl: waiting for the service %s at %s%s (up to %d s)...\n", facade,
                 socket_path, state, most);
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
    std::fprintf(g_out, "{\"command\":\"%s\",\"code\":%d,\"name\":%s%s}\n", command_word,
                 static_cast<int>(rc), name != nullptr ? json_text(name, 64).c_str() : "null",
                 json_fields.c_str());
  } else {
    std::fprintf(g_out, "%s: RETCODE[0x%08X]%s%s%s\n", command_word, static_cast<unsigned>(rc),
                 name != nullptr ? " " : "", name != nullptr ? name : "", text_fields.c_str());
  }
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
  if (g_json) {
    std::fprintf(g_out, "{\"command\":\"dump\",\"code\":%d,\"name\":%s,\"file\":%s}\n", result,
                 result == 0 ? "\"ok\"" : "null", json_text(dd::path, sizeof dd::path).c_str());
  } else {
    std::fprintf(g_out, "dump: result[%d] file[%s]\n", result, dd::path);
  }
  if (result != 0) {
    std::fflush(g_out);
    if (result == vantorel::UCOM_NO_RECEIVER) {
      std::fprintf(stderr, "rmsctl: dump failed: no \"%s\" receiver\n", dd::receiver_name);
    } else {
      std::fprintf(stderr, "rmsctl: dump failed: %s\n",
                   comm_rms_tools::dump_failure_cause(geteuid()).c_str());
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
    std::fflush(g_out);
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

// rmsctl show FILE [filters] [--html OUT]
int run_show(const std::vector<std::string>& words) {
  comm_rms_tools::log_filter filter;
  std::string html;
  std::vector<comm_rms_tools::given_option> options;
  std::vector<std::string> files;
  std::string error;
  if (!comm_rms_tools::read_options(words,
                                    {{"level", 0, true},
                                     {"thread", 0, true},
                                     {"function", 0, true},
                                     {"since", 0, true},
                                     {"html", 0, true}},
                                    false, options, files, error)) {
    return usage_error("show: " + error);
  }
  std::string* const values[] = {&filter.level, &filter.thread, &filter.function, &filter.since,
                                 &html};
  for (const comm_rms_tools::given_option& o : options) *values[o.index] = o.value;
  if (files.size() > 1) return usage_error("show: one FILE only");
  const std::string file = files.empty() ? "" : files[0];
  if (file.empty()) return usage_error("show: FILE is required");
  const std::string bad_filter = comm_rms_tools::filter_error(filter);
  if (!bad_filter.empty()) return usage_error("show: " + bad_filter);
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (!in) {
    std::fprintf(stderr, "rmsctl: show: cannot read %s: %s\n", file.c_str(),
                 comm_rms_tools::error_text(errno).c_str());
    return 1;
  }
  const comm_rms_tools::dump_contents dump = comm_rms_tools::parse_dump(text.str());
  for (const std::string& problem : dump.problems) {
    std::fprintf(stderr, "rmsctl: show: %s: %s\n", file.c_str(), problem.c_str());
  }
  if (html.empty()) {
    std::fputs(comm_rms_tools::render_dump_text(dump, filter).c_str(), stdout);
    return 0;
  }
  std::ofstream out(html, std::ios::binary | std::ios::trunc);
  out << comm_rms_tools::render_dump_html(dump, file);
  out.close();
  if (!out) {
    std::fprintf(stderr, "rmsctl: show: cannot write %s\n", html.c_str());
    return 1;
  }
  return 0;
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
  if (!words.empty() && words[0] == "show") return run_show(words);
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
  const std::string bad_dir =
      comm_rms_tools::run_directory_problem(vantorel::host::run_directory());
  if (needs_service && !bad_dir.empty()) {
    std::fprintf(stderr, "rmsctl: the service cannot be reached: the run directory %s\n",
                 bad_dir.c_str());
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
  request_watch watch(timeout_s);
  g_watch = &watch;
  const int status = shell ? run_shell() : (run_all(commands) ? 0 : 1);
  g_watch = nullptr;
  return status;
}
