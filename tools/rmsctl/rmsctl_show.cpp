// `rmsctl show FILE [filters] [--wide] [--html OUT]`: only a regular file
// is read (a FIFO or a device could block or never end), and no further
// than its size when opened.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "../common/error_text.h"
#include "../common/options.h"
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
  std::string html, wide;
  std::vector<given_option> options;
  std::vector<std::string> files;
  std::string error;
  if (!read_options(args,
                    {{"level", 0, true},
                     {"thread", 0, true},
                     {"function", 0, true},
                     {"since", 0, true},
                     {"html", 0, true},
                     {"wide", 0, false}},
                    false, options, files, error)) {
    return refuse(error, 2);
  }
  std::string* const values[] = {&filter.level, &filter.thread, &filter.function,
                                 &filter.since, &html,          &wide};
  for (const given_option& o : options) *values[o.index] = o.index == 5 ? "1" : o.value;
  if (files.size() > 1) return refuse("one FILE only", 2);
  const std::string file = files.empty() ? "" : files[0];
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
