// The platform's basic integer names, shared by the library, its records and
// the messages that cross the process boundary.
#pragma once

#include <cstdint>

typedef int32_t RETCODE;  // 0 success, 1 the caller's own failure, else a service word
typedef int32_t BOOL;     // 1 is true
typedef long LONG;
typedef unsigned int UINT;
