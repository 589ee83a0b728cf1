// Strict number parsing for command lines: the whole text must be a number
// that fits, or the caller gets false and can name the bad argument.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace comm_rms_tools {

// Decimal with an optional sign (-2147483648 to 2147483647), or hexadecimal
// with "0x" (0x0 to 0xFFFFFFFF, taken as the 32-bit pattern, so 0xFFFFFFFE
// is -2). Blanks, empty text and trailing characters are refused.
inline bool parse_int32(const char* text, int32_t* value) {
  if (text == nullptr || *text == '\0' || *text == ' ' || *text == '\t' || *text == '+') {
    return false;
  }
  const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (hex && (text[2] == '\0' || text[2] == '-' || text[2] == '+' || text[2] == ' ')) return false;
  errno = 0;
  char* end = nullptr;
  if (hex) {
    const unsigned long long bits = std::strtoull(text + 2, &end, 16);
    if (errno != 0 || *end != '\0' || bits > 0xFFFFFFFFull) return false;
    *value = static_cast<int32_t>(static_cast<uint32_t>(bits));
    return true;
  }
  const long long number = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || number < INT32_MIN || number > INT32_MAX) return false;
  *value = static_cast<int32_t>(number);
  return true;
}

// A count (0 to 2147483647), written like any other number: decimal, or
// hexadecimal with "0x".
inline bool parse_count(const char* text, int32_t* value) {
  int32_t parsed = 0;
  if (text == nullptr || text[0] == '-' || !parse_int32(text, &parsed) || parsed < 0) return false;
  *value = parsed;
  return true;
}

}  // namespace comm_rms_tools
