// The trace line as a pure rendering: fixed inputs in, text out. No clock,
// no thread, no store: comm_rms_operation_log gathers those and delivers.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <ctime>

#include "comm_rms/operation_log.h"

namespace vantorel {

// The short function name cut from a full signature text: for a class member
// "class::member" without namespace, return type or parameters; for a plain
// function everything before "(". Returns a pointer into `function` and
// stores the name's length in `*length` (the name is not NUL-terminated),
// at most COMM_RMS_SHORT_NAME_MAX: longer names are cut so that a line
// always fits the formatter's stack buffer.
const char* comm_rms_short_function_name(const char* function, size_t* length) noexcept;

constexpr size_t COMM_RMS_SHORT_NAME_MAX = 2048;

namespace trace_format {

// The message buffer and the size limit its formatting gets: a message is
// at most 1278 characters.
constexpr size_t message_buffer = 1280;
constexpr size_t message_limit = 1279;
// Time stamp, tag and position at their widest (every number with its sign)
// are well under 160 characters; then the name, a tab and the message.
constexpr size_t line_buffer = 160 + COMM_RMS_SHORT_NAME_MAX + 1 + message_buffer;

// Formats the caller's message exactly as vsnprintf with `message_limit`
// into a zeroed buffer does; returns the message's length.
size_t format_message(char (&out)[message_buffer], const char* format, va_list args);

struct tag {
  const char* text;
  size_t length;
};
tag tag_for(int level) noexcept;

// Any bit outside the mask drops the call before anything else happens.
constexpr bool passes_mask(int level) {
  return (level & COMM_RMS_LEVEL_MASK) == level;
}

// Sinks by level: bits 4 and 256 together mean printed only; otherwise the
// line is stored, and printed as well when it has bit 2, 8 or 16.
constexpr bool is_stored(int level) {
  return (level & COMM_RMS_LEVEL_PRINT_ONLY) != COMM_RMS_LEVEL_PRINT_ONLY;
}
constexpr bool is_printed(int level) {
  return !is_stored(level) || (level & COMM_RMS_LEVEL_PRINTED) != 0;
}

// What a stored line shows besides its time, thread, name and message.
struct line_fields {
  long nanoseconds;  // the clock's sub-second count
  int level;
  int line;  // the caller's source line
};

// The stored line in three pieces, so that the text that changes once a
// second (the date) or never (the thread) can be kept by the caller:
// render_date writes "[YYYY-MM-DD HH:MM:SS", render_thread "[tttttttttt] "
// (each at most `piece_buffer` bytes, no NUL), and render_after_pieces the
// line from those two pieces (arrays of piece_buffer bytes), the short
// name (which the caller may have kept too) and the remaining fields.
constexpr size_t piece_buffer = 48;
size_t render_date(char* out, const struct tm& local) noexcept;
size_t render_thread(char* out, unsigned long thread) noexcept;
// The function's short name as comm_rms_short_function_name cuts it.
struct short_name {
  const char* text;
  size_t length;
};
size_t render_after_pieces(char* out, const char* date, size_t date_length, const char* thread,
                           size_t thread_length, const line_fields& fields, short_name name,
                           const char* message, size_t message_length) noexcept;

}  // namespace trace_format
}  // namespace vantorel
