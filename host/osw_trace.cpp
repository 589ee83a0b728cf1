// Platform trace output: one line per call on stderr.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "vantorel/osw.h"

// The whole line is formatted first and handed to one write(2), so lines of
// different threads never interleave.
int emwGENTrcPrintf(unsigned int /*module*/, unsigned int /*category*/, int /*kind*/,
                    const char* format, ...) {
  char line[2048];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0) return -1;
  if (static_cast<size_t>(n) >= sizeof line) {
    n = sizeof line - 1;
    line[n - 1] = '\n';
  }
  const char* p = line;
  size_t left = static_cast<size_t>(n);
  while (left > 0) {
    ssize_t w = write(STDERR_FILENO, p, left);
    if (w < 0) return -1;
    p += w;
    left -= static_cast<size_t>(w);
  }
  return 0;
}
