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

}  // namespace

const char* comm_rms_short_function_name(const char* function, size_t* length) noexcept {
  const char* paren = std::strchr(function, '(');
  if (paren == nullptr) {
    *length = std::strlen(function);
    return function;
  }
  const size_t open = static_cast<size_t>(paren - function);
  // Last "::" before the "(" (one beginning at it cannot exist).
  const size_t inner = last_scope(function, open);
  // The "::" before that one, possibly overlapping it (":::"); one at the
  // very start has nothing before it.
  const size_t outer = (inner == npos || inner == 0) ? npos : last_scope(function, inner + 1);
  if (outer == npos) {
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

// What a thread reuses from line to line: its identifier as text, and the
// rendered date and time of the last broken-down time it stamped (lines of
// the same second share "[YYYY-MM-DD HH:MM:SS"). Initial-exec TLS: one
// thread-pointer access instead of a call into the dynamic loader per line.
struct thread_cache {
  char thread[24];
  unsigned char thread_length;
  bool have_time;
  unsigned char time_length;
  int time_key[6];
  char time_text[80];  // room for six fields at their widest, sign included
};

__attribute__((tls_model("initial-exec"))) thread_local thread_cache cache;

const thread_cache& this_thread_text() {
  thread_cache& cached = cache;
  if (cached.thread_length == 0) {
    const unsigned long id = static_cast<unsigned long>(pthread_self());
    char digits[24];
    int n = 0;
    unsigned long v = id;
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    unsigned char len = 0;
    for (int pad = 10 - n; pad > 0; --pad) cached.thread[len++] = '0';
    while (n > 0) cached.thread[len++] = digits[--n];
    cached.thread_length = len;
  }
  return cached;
}

// Exactly `width` digits of a value known to fit them.
inline char* put_fixed(char* out, unsigned long value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + width;
}

// Copies a piece of the line. The length is hidden from the optimiser,
// which would otherwise expand a copy of bounded size into a string
// instruction that is slow to start for the few bytes of a field.
inline char* put_text(char* out, const char* from, size_t n) {
  __asm__("" : "+r"(n));
  std::memcpy(out, from, n);
  return out + n;
}

// Copies a cached piece that usually fits `Room` bytes with whole fixed-size
// moves (the rest of its array is copied too and overwritten afterwards).
template <size_t Room, size_t Size>
inline char* put_cached(char* out, const char (&from)[Size], size_t n) {
  static_assert(Room <= Size, "the cache array holds Room bytes");
  if (n > Room) return put_text(out, from, n);
  std::memcpy(out, from, Room);
  return out + n;
}

// "[" year "-" month "-" day " " hour ":" minute ":" second, rendered once
// per distinct broken-down time and thread.
char* put_date_time(char* p, const struct tm& local) {
  thread_cache& cached = cache;
  const int key[6] = {local.tm_year, local.tm_mon, local.tm_mday,
                      local.tm_hour, local.tm_min, local.tm_sec};
  if (!cached.have_time || std::memcmp(key, cached.time_key, sizeof key) != 0) {
    char* t = cached.time_text;
    *t++ = '[';
    t = put_signed(t, static_cast<long>(local.tm_year) + 1900, 2);
    *t++ = '-';
    t = put_two(t, local.tm_mon + 1);
    *t++ = '-';
    t = put_two(t, local.tm_mday);
    *t++ = ' ';
    t = put_two(t, local.tm_hour);
    *t++ = ':';
    t = put_two(t, local.tm_min);
    *t++ = ':';
    t = put_two(t, local.tm_sec);
    cached.time_length = static_cast<unsigned char>(t - cached.time_text);
    std::memcpy(cached.time_key, key, sizeof key);
    cached.have_time = true;
  }
  return put_cached<24>(p, cached.time_text, cached.time_length);
}

// The message with the conversions the library's own formats use (%s, %d,
// %%), written without the printf machinery, exactly as vsnprintf would
// write it into a buffer of `limit` bytes. False for any other conversion
// (or a null text), which is then left to vsnprintf.
bool format_plain(char* out, size_t limit, const char* format, va_list* args, size_t* written) {
  size_t n = 0;
  const size_t room = limit - 1;
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
      const char* text = va_arg(*args, const char*);
      if (text == nullptr) return false;
      put(text, std::strlen(text));
    } else if (*f == 'd') {
      const int value = va_arg(*args, int);
      char digits[16];
      char* end = put_signed(digits, value, 1);
      put(digits, static_cast<size_t>(end - digits));
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

namespace {

// Everything after the level test, kept out of line so that a dropped call
// costs no more than the test and its return.
__attribute__((noinline)) void write_line(int kind, int level, int line, const char* function,
                                          const char* format, va_list* args, va_list* again) {
  char message[kMessageBuffer];
  size_t message_length = 0;
  if (!format_plain(message, kMessageLimit, format, args, &message_length)) {
    // A failed formatting leaves whatever it wrote in a zeroed buffer.
    std::memset(message, 0, sizeof message);
    // The format is the caller's; the exported declaration has it checked.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::vsnprintf(message, kMessageLimit, format, *again);
#pragma GCC diagnostic pop
    message_length = std::strlen(message);
  }

  OSW_CLOCK clock{0, 0};
  emwOSWGetClock(&clock);
  const time_t seconds = static_cast<time_t>(clock.seconds);
  struct tm local;
  std::memset(&local, 0, sizeof local);
  emwCLBLocalTime_r(&seconds, &local);
  const thread_cache& thread = this_thread_text();

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
    p = put_date_time(p, local);
    *p++ = '.';
    const long micro = static_cast<long>(clock.nanoseconds) / 1000;
    p = (micro >= 0 && micro <= 999999) ? put_fixed(p, static_cast<unsigned long>(micro), 6)
                                        : put_signed(p, micro, 6);
    *p++ = ']';
    *p++ = '[';
    p = put_cached<16>(p, thread.thread, thread.thread_length);
    *p++ = ']';
    *p++ = ' ';
    p = put_text(p, tag.text, tag.length);
    *p++ = '[';
    p = (line >= 0 && line <= 9999) ? put_fixed(p, static_cast<unsigned long>(line), 4)
                                    : put_signed(p, line, 4);
    *p++ = ']';
    *p++ = ' ';
    name_start = p;
    p = put_text(p, name, name_length);
    *p++ = '\t';
    p = put_text(p, message, message_length);
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

}  // namespace

extern "C" void comm_rms_operation_log(int kind, int level, int line, const char* function,
                                       const char* format, ...) {
  if ((level & COMM_RMS_LEVEL_MASK) != level) return;
  // Two starts of the same arguments: one for the plain formatting, one for
  // vsnprintf should the format need it (cheaper than copying the first).
  va_list args;
  va_list again;
  va_start(args, format);
  va_start(again, format);
  write_line(kind, level, line, function, format, &args, &again);
  va_end(again);
  va_end(args);
}
