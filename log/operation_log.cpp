// The library's trace entry point: the pure rendering of a line, and the
// thin step that gathers clock, local time and thread and hands the line to
// the log store and/or the platform trace output. Everything lives in stack
// buffers; only the copy into the ring buffer is serialised, by the store.
#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "comm_rms/operation_log.h"
#include "log/cancellation_deferred.h"
#include "log/comm_rms_ucom_log.h"
#include "log/trace_format.h"
#include "vantorel/osw.h"

namespace vantorel {

namespace {

// Start of the last "::" lying wholly within the first `end` characters of
// `text`, or `npos`. The search jumps from colon to colon (memrchr) instead
// of testing every character.
constexpr size_t npos = static_cast<size_t>(-1);
size_t last_scope(const char* text, size_t end) {
  while (end >= 2) {
    const void* hit = memrchr(text, ':', end);
    if (hit == nullptr) return npos;
    const size_t colon = static_cast<size_t>(static_cast<const char*>(hit) - text);
    if (colon >= 1 && text[colon - 1] == ':') return colon - 1;
    // No pair ends at this colon, and none can end at the character before.
    if (colon < 1) return npos;
    end = colon - 1;
  }
  return npos;
}

// "00" to "99", so that each division by 100 yields two digits.
struct digit_pairs {
  char text[200];
  constexpr digit_pairs() : text() {
    for (size_t i = 0; i < 100; ++i) {
      text[2 * i] = static_cast<char>('0' + i / 10);
      text[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
  }
};
constexpr digit_pairs kPairs;

// Writes `value` in decimal, zero-filled to at least `width` digits, and
// returns the end of the written text. Digits go straight to their place.
inline char* put_unsigned(char* out, unsigned long value, int width) {
  int n = 1;
  for (unsigned long long reach = 10; n < 20 && value >= reach; reach *= 10) ++n;
  char* const end = out + (n > width ? n : width);
  char* p = end;
  for (; value >= 100; value /= 100) {
    p -= 2;
    std::memcpy(p, &kPairs.text[value % 100 * 2], 2);
  }
  if (value >= 10) {
    p -= 2;
    std::memcpy(p, &kPairs.text[value * 2], 2);
  } else {
    *--p = static_cast<char>('0' + value);
  }
  while (p != out) *--p = '0';
  return end;
}

// The same for a signed value, as "%0*ld" writes it: the sign counts
// toward the width.
inline char* put_signed(char* out, long value, int width) {
  if (value >= 0) return put_unsigned(out, static_cast<unsigned long>(value), width);
  *out = '-';
  return put_unsigned(out + 1, 0UL - static_cast<unsigned long>(value), width - 1);
}

char* put_text(char* out, const char* text, size_t n) {
  std::memcpy(out, text, n);
  return out + n;
}

// A date or thread piece (an array of piece_buffer bytes) at the start of a
// line: one fixed-size move of the usual length instead of a call; the
// bytes past `n` are overwritten by what follows.
constexpr size_t kUsualPiece = 24;
static_assert(kUsualPiece <= trace_format::piece_buffer, "a piece array holds the usual length");
char* put_piece(char* out, const char* piece, size_t n) {
  if (n > kUsualPiece) return put_text(out, piece, n);
  std::memcpy(out, piece, kUsualPiece);
  return out + n;
}

// The conversions the library's own formats use (%s, %d, %%), written
// without the printf machinery, exactly as vsnprintf would write them into
// `out`. False for anything else (another conversion, a flag or width, a
// null text), which is then left to vsnprintf.
bool format_plain(char (&out)[trace_format::message_buffer], const char* format, va_list args,
                  size_t* written) {
  size_t n = 0;
  const size_t room = trace_format::message_limit - 1;
  auto put = [&](const char* text, size_t length) {
    const size_t take = length < room - n ? length : room - n;
    std::memcpy(out + n, text, take);
    n += take;
  };
  for (const char* f = format; *f != '\0'; ++f) {
    if (*f != '%') {
      const size_t plain = static_cast<size_t>(strchrnul(f, '%') - f);
      put(f, plain);
      f += plain - 1;
      continue;
    }
    ++f;
    if (*f == 's') {
      const char* text = va_arg(args, const char*);
      if (text == nullptr) return false;
      put(text, std::strlen(text));
    } else if (*f == 'd') {
      char digits[32];
      put(digits, static_cast<size_t>(put_signed(digits, va_arg(args, int), 1) - digits));
    } else if (*f == '%') {
      put("%", 1);
    } else {
      return false;
    }
  }
  out[n] = '\0';
  *written = n;
  return true;
}

// The date text of the last second a thread stored a line in, and its
// thread text: rendered again only when the clock's second changes (time
// offsets change only on whole seconds, so the text is exact), so a line
// asks for the local time about once a second per thread.
struct stamp_cache {
  uint32_t second;
  bool valid;
  unsigned char date_length;
  unsigned char thread_length;
  char date[trace_format::piece_buffer];
  char thread[trace_format::piece_buffer];
};
thread_local stamp_cache stamp;

// The short names of the signatures a thread traced, by the text's address:
// a call site hands over the same text every time, so the search for its
// "::" runs once per site and thread. A hit is confirmed on the text up to
// its "(" (a caller may reuse one buffer for other signatures); a signature
// too long for an entry, or without "(", is searched every time.
struct name_cache {
  static constexpr size_t kEntries = 8;
  static constexpr size_t kSignatureMax = 118;  // an entry is 128 bytes
  struct entry {
    const char* function;
    unsigned char start;            // the short name runs from here to the "("
    unsigned char open;             // where the "(" is
    char signature[kSignatureMax];  // the text up to and including the "("
  };
  entry entries[kEntries];

  trace_format::short_name lookup(const char* function) noexcept {
    entry& e = entries[(reinterpret_cast<uintptr_t>(function) >> 4) % kEntries];
    if (e.function == function && std::strncmp(function, e.signature, e.open + 1U) == 0) {
      return {function + e.start, size_t{e.open} - e.start};
    }
    size_t length = 0;
    const char* name = comm_rms_short_function_name(function, &length);
    const size_t open = static_cast<size_t>(name - function) + length;
    if (open < kSignatureMax && function[open] == '(') {
      e.function = function;
      e.start = static_cast<unsigned char>(name - function);
      e.open = static_cast<unsigned char>(open);
      std::memcpy(e.signature, function, open + 1);
    }
    return {name, length};
  }
};
thread_local name_cache names;

// Everything after the level test, kept out of line so that a dropped call
// costs no more than the test and its return.
__attribute__((noinline)) void write_line(int kind, int level, int line, const char* function,
                                          const char* format, va_list args) {
  char message[trace_format::message_buffer];
  const size_t message_length = trace_format::format_message(message, format, args);

  OSW_CLOCK clock{0, 0};
  emwOSWGetClock(&clock);
  trace_format::line_fields fields{};
  fields.nanoseconds = clock.nanoseconds;
  fields.level = level;
  fields.line = line;

  const trace_format::short_name name = names.lookup(function);
  char text[trace_format::line_buffer];
  if (trace_format::is_stored(level)) {
    stamp_cache& cache = stamp;
    if (!cache.valid || cache.second != clock.seconds) {
      const time_t seconds = static_cast<time_t>(clock.seconds);
      struct tm local;
      std::memset(&local, 0, sizeof local);
      emwCLBLocalTime_r(&seconds, &local);
      cache.date_length = static_cast<unsigned char>(trace_format::render_date(cache.date, local));
      cache.thread_length = static_cast<unsigned char>(
          trace_format::render_thread(cache.thread, static_cast<unsigned long>(pthread_self())));
      cache.second = clock.seconds;
      cache.valid = true;
    }
    const size_t length = trace_format::render_after_pieces(text, cache.date, cache.date_length,
                                                            cache.thread, cache.thread_length,
                                                            fields, name, message, message_length);
    comm_rms_ucom_log::get_instance()->push_log(text, length + 1);
    if (!trace_format::is_printed(level)) return;
  }
  // The printed line needs the short name on its own, NUL-terminated; the
  // stored line has been handed over, so its buffer is free again.
  *put_text(text, name.text, name.length) = '\0';
  // The platform's output may block in a write; a line is finished first.
  const cancellation_deferred whole_line;
  emwGENTrcPrintf(COMM_RMS_TRACE_MODULE, COMM_RMS_TRACE_CATEGORY, kind, "%s %s\t%s\n",
                  trace_format::tag_for(level).text, text, message);
}

}  // namespace

const char* comm_rms_short_function_name(const char* function, size_t* length) noexcept {
  const char* paren = std::strchr(function, '(');
  if (paren == nullptr) {
    *length = std::min(std::strlen(function), COMM_RMS_SHORT_NAME_MAX);
    return function;
  }
  const size_t open = static_cast<size_t>(paren - function);
  // Last "::" before the "(" (one beginning at it cannot exist).
  const size_t inner = last_scope(function, open);
  // The "::" before that one, possibly overlapping it (":::"); one at the
  // very start has nothing before it.
  const size_t outer = (inner == npos || inner == 0) ? npos : last_scope(function, inner + 1);
  const size_t start = outer == npos ? 0 : outer + 2;
  *length = std::min(open - start, COMM_RMS_SHORT_NAME_MAX);
  return function + start;
}

namespace trace_format {

size_t format_message(char (&out)[message_buffer], const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  size_t length = 0;
  if (!format_plain(out, format, args, &length)) {
    // A failed formatting leaves whatever it wrote in a zeroed buffer.
    std::memset(out, 0, sizeof out);
    // The format is the caller's; the exported declaration has it checked.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::vsnprintf(out, message_limit, format, again);
#pragma GCC diagnostic pop
    length = std::strlen(out);
  }
  va_end(again);
  return length;
}

tag tag_for(int level) noexcept {
  switch (level) {
    case COMM_RMS_LEVEL_INFORMATION:
      return {"[ INF]", 6};
    case COMM_RMS_LEVEL_IMPORTANT:
      return {"[ IMP]", 6};
    case COMM_RMS_LEVEL_WARNING:
      return {"[!WRN]", 6};
    case COMM_RMS_LEVEL_ERROR:
      return {"[@ERR]", 6};
    case COMM_RMS_LEVEL_PERFORMANCE:
      return {"[PERFORM]: ", 11};
    default:
      return {"[****]", 6};
  }
}

size_t render_date(char* out, const struct tm& local) noexcept {
  char* p = out;
  *p++ = '[';
  p = put_signed(p, long{local.tm_year} + 1900, 2);
  *p++ = '-';
  p = put_signed(p, local.tm_mon + 1, 2);
  *p++ = '-';
  p = put_signed(p, local.tm_mday, 2);
  *p++ = ' ';
  p = put_signed(p, local.tm_hour, 2);
  *p++ = ':';
  p = put_signed(p, local.tm_min, 2);
  *p++ = ':';
  p = put_signed(p, local.tm_sec, 2);
  return static_cast<size_t>(p - out);
}

size_t render_thread(char* out, unsigned long thread) noexcept {
  char* p = out;
  *p++ = '[';
  p = put_unsigned(p, thread, 10);
  *p++ = ']';
  *p++ = ' ';
  return static_cast<size_t>(p - out);
}

// date ".uuuuuu]" thread tag "[llll] " name "\t" message
size_t render_after_pieces(char* out, const char* date, size_t date_length, const char* thread,
                           size_t thread_length, const line_fields& fields, short_name name,
                           const char* message, size_t message_length) noexcept {
  char* p = put_piece(out, date, date_length);
  *p++ = '.';
  p = put_signed(p, fields.nanoseconds / 1000, 6);
  *p++ = ']';
  p = put_piece(p, thread, thread_length);
  const tag level_tag = tag_for(fields.level);
  p = put_text(p, level_tag.text, level_tag.length);
  *p++ = '[';
  p = put_signed(p, fields.line, 4);
  *p++ = ']';
  *p++ = ' ';
  p = put_text(p, name.text, name.length);
  *p++ = '\t';
  p = put_text(p, message, message_length);
  *p = '\0';
  return static_cast<size_t>(p - out);
}

}  // namespace trace_format
}  // namespace vantorel

extern "C" void comm_rms_operation_log(int kind, int level, int line, const char* function,
                                       const char* format, ...) {
  if (!vantorel::trace_format::passes_mask(level)) return;
  va_list args;
  va_start(args, format);
  vantorel::write_line(kind, level, line, function, format, args);
  va_end(args);
}
