// The library's trace entry point.
#pragma once

#include "comm_rms/export.h"

// Trace levels; any bit outside the mask drops the line.
enum : int {
  COMM_RMS_LEVEL_INFORMATION = 1,
  COMM_RMS_LEVEL_IMPORTANT = 2,
  COMM_RMS_LEVEL_WARNING = 8,
  COMM_RMS_LEVEL_ERROR = 16,
  COMM_RMS_LEVEL_DETAIL = 32,  // outside the mask: always dropped
  COMM_RMS_LEVEL_PERFORMANCE = 260,
  COMM_RMS_LEVEL_MASK = 0x11F,
  // Sinks: both of these bits (performance) mean the platform trace output
  // only; otherwise a line is stored, and printed too with any of these.
  COMM_RMS_LEVEL_PRINT_ONLY = 0x104,
  COMM_RMS_LEVEL_PRINTED = 0x1A,
  // The module and category the platform trace output is given.
  COMM_RMS_TRACE_MODULE = 0x340E,
  COMM_RMS_TRACE_CATEGORY = 0x102,
};

extern "C" {
// Formats one trace line and hands it to the log store and/or the platform
// trace output, by level. `function` is the caller's full signature text.
COMM_RMS_API void comm_rms_operation_log(int kind, int level, int line, const char* function,
                                         const char* format, ...)
    __attribute__((format(printf, 5, 6)));
}
