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
};

extern "C" {
// Formats one trace line and hands it to the log store and/or the platform
// trace output, by level. `function` is the caller's full signature text.
COMM_RMS_API void comm_rms_operation_log(int kind, int level, int line, const char* function,
                                         const char* format, ...)
    __attribute__((format(printf, 5, 6)));
}
