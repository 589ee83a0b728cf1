// rmsctl: sends the remote-panel service requests through the library and
// prints their results; `shell` keeps one client process alive on stdin.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../common/error_text.h"
#include "comm_rms/comm_rms.h"
#include "comm_rms/debug_dump.h"
#include "rmsctl_commands.h"
#include "vantorel/ucom.h"

namespace {

using comm_rms_tools::command;
using comm_rms_tools::command_kind;

namespace dd = vantorel::debug_dump;
constexpr size_t kMaxLine = 4096;

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

const char* annotation(RETCODE code) {
  if (code == 1) return " (service not ready)";
  if (code == BMC_MC_CHANNEL_FAILURE) return " (channel failure)";
  return "";
}

int text_length(const char* field, size_t width) {
  const void* nul = std::memchr(field, '\0', width);
  return nul != nullptr ? static_cast<int>(static_cast<const char*>(nul) - field)
                        : static_cast<int>(width);
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
  const int result = vantorel::UCOM_UsrCommandManager::ucom_instance()->ucom_deliver(
      dd::receiver_name, dd::command);
  std::printf("dump: result[%d] file[%s]\n", result, dd::path);
  if (result != 0) {
    std::fflush(stdout);
    std::fprintf(stderr, "rmsctl: dump failed%s\n",
                 result == vantorel::UCOM_NO_RECEIVER ? ": no \"commRMS\" receiver"
                                                      : " (does /tmp/debug_file/ exist?)");
    return false;
  }
  return print_dump_file();
}

// Sends one request and prints its result. True when it succeeded.
bool run_command(const command& cmd) {
  vantorel::comm_rms_facade* facade = vantorel::comm_rms_facade::get_instance();
  const char* name = comm_rms_tools::command_name(cmd.kind);
  RETCODE rc = 0;
  switch (cmd.kind) {
    case command_kind::register_server:
      rc = facade->register_server(cmd.register_info);
      std::printf("%s: RETCODE[0x%08X]%s\n", name, static_cast<unsigned>(rc), annotation(rc));
      break;
    case command_kind::unregister_server:
      rc = facade->unregister_server(cmd.unregister_info);
      std::printf("%s: RETCODE[0x%08X]%s\n", name, static_cast<unsigned>(rc), annotation(rc));
      break;
    case command_kind::path: {
      COMM_RMS_SERVER_PATH_INFO info;
      std::memset(&info, 0, sizeof info);
      rc = facade->get_server_path_name(info);
      std::printf("%s: RETCODE[0x%08X]%s server_path_name[%.*s] size[%d]\n", name,
                  static_cast<unsigned>(rc), annotation(rc),
                  text_length(info.server_path_name, sizeof info.server_path_name),
                  info.server_path_name, static_cast<int>(info.size));
      break;
    }
    case command_kind::connect_result: {
      COMM_RMS_CONNECT_RESULT_INFO info = cmd.connect_info;
      rc = facade->get_server_connect_result(info);
      std::printf("%s: RETCODE[0x%08X]%s server_path_name[%.*s] app_ws_error_code[%d]\n", name,
                  static_cast<unsigned>(rc), annotation(rc),
                  text_length(info.server_path_name, sizeof info.server_path_name),
                  info.server_path_name, static_cast<int>(info.app_ws_error_code));
      break;
    }
    case command_kind::rfb_status: {
      COMM_RMS_RFB_GET_STATUS_INFO info = cmd.rfb_info;
      rc = facade->get_rfb_status(info);
      std::printf("%s: RETCODE[0x%08X]%s status[%d]\n", name, static_cast<unsigned>(rc),
                  annotation(rc), static_cast<int>(info.status));
      break;
    }
    case command_kind::dump: {
      const bool ok = run_dump();
      std::fflush(stdout);
      return ok;
    }
  }
  std::fflush(stdout);
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
  std::printf("rmsctl shell: pid[%d] ready\n", static_cast<int>(getpid()));
  std::fflush(stdout);
  bool ok = true;
  std::string line;
  bool too_long = false;
  while (read_line(line, too_long)) {
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
      std::fflush(stdout);
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

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  if (words.size() == 1 && (words[0] == "--help" || words[0] == "-h" || words[0] == "help")) {
    std::fputs(comm_rms_tools::rmsctl_usage(), stdout);
    return 0;
  }
  if (!words.empty() && words[0] == "shell") {
    if (words.size() != 1) {
      std::fprintf(stderr, "rmsctl: shell takes no arguments\n");
      return 2;
    }
    return run_shell();
  }
  std::vector<command> commands;
  std::string error;
  if (!comm_rms_tools::parse_commands(words, commands, error)) {
    std::fprintf(stderr, "rmsctl: %s\n(try rmsctl --help)\n", error.c_str());
    return 2;
  }
  return run_all(commands) ? 0 : 1;
}
