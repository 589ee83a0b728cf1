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
  std::string file;
  std::string html;
  bool wide = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::pair<const char*, std::string*> options[] = {{"--level", &filter.level},
                                                            {"--thread", &filter.thread},
                                                            {"--function", &filter.function},
                                                            {"--since", &filter.since},
                                                            {"--html", &html}};
    std::string* value = nullptr;
    for (const auto& o : options) value = args[i] == o.first ? o.second : value;
    if (args[i] == "--wide") {
      wide = true;
    } else if (value != nullptr) {
      if (i + 1 >= args.size() || args[i + 1].empty()) return refuse(args[i] + " needs a value", 2);
      *value = args[++i];
    } else if (args[i].compare(0, 1, "-") == 0) {
      return refuse("unknown option '" + args[i] + "'", 2);
    } else if (!file.empty()) {
      return refuse("one FILE only", 2);
    } else {
      file = args[i];
    }
  }
  if (file.empty()) return refuse("FILE is required", 2);
  const std::string bad_filter = filter_error(filter);
  if (!bad_filter.empty()) return refuse(bad_filter, 2);

  const int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) {
    const int error = errno;
    if (fd >= 0) close(fd);
    return refuse("cannot read " + file + ": " + error_text(error), 1);
  }
  FILE* in = S_ISREG(st.st_mode) ? fdopen(fd, "r") : nullptr;
  if (in == nullptr) {
    close(fd);
    return refuse(file + " is not a regular file", 1);
  }
  FILE* out = html.empty() ? stdout : std::fopen(html.c_str(), "w");
  bool dump = false;
  if (out != nullptr) {
    dump = html.empty() ? show_text(in, st.st_size, out, filter, wide, file)
                        : show_html(in, st.st_size, out, filter, file);
  }
  std::fclose(in);
  if (out == nullptr || (out != stdout && std::fclose(out) != 0)) {
    return refuse("cannot write " + html, 1);
  }
  if (!dump && !html.empty()) unlink(html.c_str());
  return dump ? 0
              : refuse(file + " holds no dump (it does not start with the history's heading)", 1);
}

}  // namespace comm_rms_tools
