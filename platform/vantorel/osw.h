// OS wrapper: locks, sleep, clock, local time and the platform trace output.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <ctime>

#include "vantorel/platform_export.h"

// Wait without limit in OSW_Mutex_Semaphore::request.
constexpr unsigned long OSW_WAIT_FOREVER = 0xFFFFFFFFUL;

// A mutual-exclusion lock. `count` is 1 for every user of this library.
class VANTOREL_PLATFORM_API OSW_Mutex_Semaphore {
 public:
  explicit OSW_Mutex_Semaphore(int count) noexcept;
  ~OSW_Mutex_Semaphore();
  OSW_Mutex_Semaphore(const OSW_Mutex_Semaphore&) = delete;
  OSW_Mutex_Semaphore& operator=(const OSW_Mutex_Semaphore&) = delete;

  // Returns 0 once the caller holds the lock.
  int request(unsigned long timeout_ms) noexcept;
  int release() noexcept;

 private:
  pthread_mutex_t mutex_;
};

// Holds a mutex from construction to destruction.
class VANTOREL_PLATFORM_API OSW_Guard {
 public:
  explicit OSW_Guard(OSW_Mutex_Semaphore& mutex) noexcept;
  ~OSW_Guard();
  OSW_Guard(const OSW_Guard&) = delete;
  OSW_Guard& operator=(const OSW_Guard&) = delete;

  bool locked() const noexcept;

 private:
  OSW_Mutex_Semaphore& mutex_;
  bool locked_;
};

// Holds the one process-wide lock from construction to destruction.
class VANTOREL_PLATFORM_API OSW_Thread_Guard {
 public:
  OSW_Thread_Guard() noexcept;
  ~OSW_Thread_Guard();
  OSW_Thread_Guard(const OSW_Thread_Guard&) = delete;
  OSW_Thread_Guard& operator=(const OSW_Thread_Guard&) = delete;
};

// Two-word clock value: whole seconds since the epoch and the sub-second
// part in nanoseconds.
struct OSW_CLOCK {
  uint32_t seconds;
  int32_t nanoseconds;
};

extern "C" {
// Suspends the caller for `milliseconds` (the library passes 300).
VANTOREL_PLATFORM_API int emwOSWSleep(unsigned long milliseconds);
// Reads CLOCK_REALTIME.
VANTOREL_PLATFORM_API int emwOSWGetClock(OSW_CLOCK* clock);
// Broken-down local time of `seconds`, like localtime_r.
VANTOREL_PLATFORM_API int emwCLBLocalTime_r(const time_t* seconds, struct tm* result);
// Writes one printf-style line to the platform trace output.
VANTOREL_PLATFORM_API int emwGENTrcPrintf(unsigned int module, unsigned int category, int kind,
                                          const char* format, ...)
    __attribute__((format(printf, 4, 5)));
}
