// `rmsctl show FILE [filters] [--wide] [--html OUT]`: only a regular file
// is read (a FIFO or a device could block or never end), and no further
// than its size when opened.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "../common/error_text.h"
#include "dump_view.h"

namespace comm_rms_tools {

namespace {

int refuse(const std::string& what, int status) {
  std::fprintf(stderr, "rmsctl: show: %s%s\n", printable(what).c_str(),
               status == 2 ? "\n(try rmsctl --help)" : "");
  return status;
}

}  // namespace

int run_show(const std::vector<std::string>& args) {
  log_filter filter;
  std::string file, html, wide;
  const char* const names[] = {"--level", "--thread", "--function", "--since", "--html", "--wide"};
  std::string* const values[] = {&filter.level, &filter.thread, &filter.function,
                                 &filter.since, &html,          &wide};
  for (size_t i = 1; i < args.size(); ++i) {
    std::string* value = args[i][0] == '-' ? nullptr : &file;
    for (size_t o = 0; o < 6; ++o) value = args[i] == names[o] ? values[o] : value;
    if (value == nullptr) return refuse("unknown option '" + args[i] + "'", 2);
    if (value == &file && !file.empty()) return refuse("one FILE only", 2);
    const bool takes_value = value != &wide && value != &file;
    if (takes_value && (++i == args.size() || args[i].empty())) {
      return refuse(args[i - 1] + " needs a value", 2);
    }
    *value = args[i];
  }
  const std::string bad = file.empty() ? "FILE is required" : filter_error(filter);
  if (!bad.empty()) return refuse(bad, 2);

  const int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const std::string why = fd < 0 ? error_text(errno) : "not a regular file";
    if (fd >= 0) close(fd);
    return refuse(file + ": " + why, 1);
  }
  FILE* in = fdopen(fd, "r");
  FILE* out = html.empty() ? stdout : std::fopen(html.c_str(), "w");
  const bool dump =
      in != nullptr && out != nullptr &&
      (html.empty() ? show_text(in, st.st_size, out, stderr, filter, !wide.empty(), file)
                    : show_html(in, st.st_size, out, stderr, filter, file));
  if (in != nullptr) std::fclose(in);
  if (out == nullptr || (out != stdout && std::fclose(out) != 0)) {
    return refuse("cannot write " + html, 1);
  }
  if (!dump && !html.empty()) unlink(html.c_str());
  return dump ? 0
              : refuse(file + " holds no dump (it does not start with the history's heading)", 1);
}

}  // namespace comm_rms_tools
