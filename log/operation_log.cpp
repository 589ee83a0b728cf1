// The library's trace entry point. Every call that passes the level mask
// builds its line in stack buffers and takes no lock of its own; only the
// copy into the ring buffer is serialised, by the store.
#include <pthread.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "comm_rms/operation_log.h"
#include "log/comm_rms_ucom_log.h"
#include "log/trace_format.h"
#include "vantorel/osw.h"

namespace vantorel {

const char* comm_rms_short_function_name(const char* function, size_t* length) noexcept {
  const char* paren = std::strchr(function, '(');
  if (paren == nullptr) {
    *length = std::strlen(function);
    return function;
  }
  const size_t open = static_cast<size_t>(paren - function);
  // Last "::" that begins before the "(" (one beginning at it cannot exist).
  size_t inner = open;
  for (size_t i = open; i-- > 0;) {
    if (function[i] == ':' && function[i + 1] == ':') {
      inner = i;
      break;
    }
  }
  // The "::" before that one, possibly overlapping it (":::"); one at the
  // very start has nothing before it.
  size_t outer = open;
  if (inner != open && inner > 0) {
    for (size_t i = inner; i-- > 0;) {
      if (function[i] == ':' && function[i + 1] == ':') {
        outer = i;
        break;
      }
    }
  }
  if (outer == open) {
    *length = open;
    return function;
  }
  *length = open - (outer + 2);
  return function + outer + 2;
}

}  // namespace vantorel

namespace {

constexpr size_t kMessageBuffer = 1280;
constexpr size_t kMessageLimit = 1279;
// Widest time stamp, tag and position: every numeric field at its widest
// (sign included), plus the literal characters around them.
constexpr size_t kPrefixMax = 160;
constexpr size_t kLineBuffer = kPrefixMax + vantorel::COMM_RMS_SHORT_NAME_MAX + 1 + kMessageBuffer;

// Writes `value` in decimal, at least `width` characters, zero-filled after
// the sign (as "%0*ld" does). Returns the end of the written text.
char* put_signed(char* out, long value, int width) {
  char digits[24];
  int n = 0;
  unsigned long magnitude =
      value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) {
    *out++ = '-';
    --width;
  }
  for (int pad = width - n; pad > 0; --pad) *out++ = '0';
  while (n > 0) *out++ = digits[--n];
  return out;
}

// Two digits for the usual 0..99 range, the general path otherwise.
inline char* put_two(char* out, int value) {
  if (value >= 0 && value < 100) {
    out[0] = static_cast<char>('0' + value / 10);
    out[1] = static_cast<char>('0' + value % 10);
    return out + 2;
  }
  return put_signed(out, value, 2);
}

// The calling thread's identifier as text, formatted once per thread.
struct thread_text {
  char text[24];
  unsigned char length;
};

const thread_text& this_thread_text() {
  thread_local thread_text cached{};
  if (cached.length == 0) {
    const unsigned long id = static_cast<unsigned long>(pthread_self());
    char digits[24];
    int n = 0;
    unsigned long v = id;
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    unsigned char len = 0;
    for (int pad = 10 - n; pad > 0; --pad) cached.text[len++] = '0';
    while (n > 0) cached.text[len++] = digits[--n];
    cached.length = len;
  }
  return cached;
}

struct tag_text {
  const char* text;
  size_t length;
};

tag_text tag_for(int level) {
  switch (level) {
    case 1:
      return {"[ INF]", 6};
    case 2:
      return {"[ IMP]", 6};
    case 8:
      return {"[!WRN]", 6};
    case 16:
      return {"[@ERR]", 6};
    case 260:
      return {"[PERFORM]: ", 11};
    default:
      return {"[****]", 6};
  }
}

}  // namespace

extern "C" void comm_rms_operation_log(int kind, int level, int line, const char* function,
                                       const char* format, ...) {
  if ((level & COMM_RMS_LEVEL_MASK) != level) return;

  char message[kMessageBuffer];
  std::memset(message, 0, sizeof message);
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, kMessageLimit, format, args);
  va_end(args);

  OSW_CLOCK clock{0, 0};
  emwOSWGetClock(&clock);
  const time_t seconds = static_cast<time_t>(clock.seconds);
  struct tm local;
  std::memset(&local, 0, sizeof local);
  emwCLBLocalTime_r(&seconds, &local);
  const thread_text& thread = this_thread_text();

  const tag_text tag = tag_for(level);
  size_t name_length = 0;
  const char* name = vantorel::comm_rms_short_function_name(function, &name_length);
  if (name_length > vantorel::COMM_RMS_SHORT_NAME_MAX) {
    name_length = vantorel::COMM_RMS_SHORT_NAME_MAX;
  }

  const bool print_only = (level & 0x104) == 0x104;
  const bool printed = print_only || (level & 0x1A) != 0;

  // The stored line is built whole in `text`; the printed line reuses its
  // short-name piece, cut off by a NUL once the line has been stored.
  char text[kLineBuffer];
  char* name_start = text;
  if (!print_only) {
    char* p = text;
    *p++ = '[';
    p = put_signed(p, static_cast<long>(local.tm_year) + 1900, 2);
    *p++ = '-';
    p = put_two(p, local.tm_mon + 1);
    *p++ = '-';
    p = put_two(p, local.tm_mday);
    *p++ = ' ';
    p = put_two(p, local.tm_hour);
    *p++ = ':';
    p = put_two(p, local.tm_min);
    *p++ = ':';
    p = put_two(p, local.tm_sec);
    *p++ = '.';
    p = put_signed(p, static_cast<long>(clock.nanoseconds) / 1000, 6);
    *p++ = ']';
    *p++ = '[';
    std::memcpy(p, thread.text, thread.length);
    p += thread.length;
    *p++ = ']';
    *p++ = ' ';
    std::memcpy(p, tag.text, tag.length);
    p += tag.length;
    *p++ = '[';
    p = put_signed(p, line, 4);
    *p++ = ']';
    *p++ = ' ';
    name_start = p;
    std::memcpy(p, name, name_length);
    p += name_length;
    *p++ = '\t';
    const size_t message_length = std::strlen(message);
    std::memcpy(p, message, message_length);
    p += message_length;
    *p = '\0';
    const unsigned long stored = static_cast<unsigned long>(p - text) + 1;
    vantorel::comm_rms_ucom_log::get_instance()->push_log(text, stored);
    if (!printed) return;
  } else {
    std::memcpy(name_start, name, name_length);
  }
  name_start[name_length] = '\0';
  emwGENTrcPrintf(0x340E, 0x102, kind, "%s %s\t%s\n", tag.text, name_start, message);
}
