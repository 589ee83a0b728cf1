// Pieces of the trace line that tools and tests need on their own.
#pragma once

#include <cstddef>

namespace vantorel {

// The short function name cut from a full signature text: for a class member
// "class::member" without namespace, return type or parameters; for a plain
// function everything before "(". Returns a pointer into `function` and
// stores the name's length in `*length` (the name is not NUL-terminated).
const char* comm_rms_short_function_name(const char* function, size_t* length) noexcept;

// Longest short function name a trace line carries; longer ones are cut so
// that a line always fits the formatter's stack buffer.
constexpr size_t COMM_RMS_SHORT_NAME_MAX = 2048;

}  // namespace vantorel
