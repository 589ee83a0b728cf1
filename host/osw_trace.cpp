// Platform trace output: one line per call on stderr.
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "vantorel/osw.h"

// The whole line is formatted on the stack and handed to one write(2), so
// lines of different threads never interleave (a pipe keeps writes of up
// to PIPE_BUF bytes whole; the line is shorter). A line that does not end
// in a newline gets one; a longer line is cut and still ends in one.
int emwGENTrcPrintf(unsigned int /*module*/, unsigned int /*category*/, int /*kind*/,
                    const char* format, ...) {
  char line[2048];
  if (format == nullptr) return -1;
  va_list args;
  va_start(args, format);
  int n = vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  if (n < 0) return -1;
  if (static_cast<size_t>(n) >= sizeof line - 1) n = sizeof line - 2;  // cut
  if (n == 0 || line[n - 1] != '\n') line[n++] = '\n';
  const char* p = line;
  size_t left = static_cast<size_t>(n);
  while (left > 0) {
    const ssize_t w = write(STDERR_FILENO, p, left);
    if (w < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += w;
    left -= static_cast<size_t>(w);
  }
  return 0;
}
