// Sleep, clock and local time of the OS wrapper.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "vantorel/osw.h"

// The unit is the millisecond: the library's 300 is a 0.3 s pause between
// two readiness checks. A signal does not cut the pause short.
int emwOSWSleep(unsigned long milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0) {
    if (errno != EINTR) return -1;
  }
  return 0;
}

int emwOSWGetClock(OSW_CLOCK* clock) {
  timespec now{};
  if (clock == nullptr || clock_gettime(CLOCK_REALTIME, &now) != 0) return -1;
  clock->seconds = static_cast<uint32_t>(now.tv_sec);
  clock->nanoseconds = static_cast<int32_t>(now.tv_nsec);
  return 0;
}

// Every stored trace line asks for the local time; the broken-down time of
// the last second asked for is kept per thread, so localtime_r runs about
// once a second per thread instead of once a line. Offsets change only on
// whole seconds, so the cached value is exact. The zone ($TZ) is read once
// per process, before the first conversion.
int emwCLBLocalTime_r(const time_t* seconds, struct tm* result) {
  static std::once_flag zone_read;
  std::call_once(zone_read, [] { tzset(); });
  if (seconds == nullptr || result == nullptr) return -1;
  thread_local time_t cached_second = 0;
  thread_local bool cached_valid = false;
  thread_local struct tm cached {};
  if (!cached_valid || *seconds != cached_second) {
    cached_valid = false;
    if (localtime_r(seconds, &cached) == nullptr) return -1;
    cached_second = *seconds;
    cached_valid = true;
  }
  std::memcpy(result, &cached, sizeof cached);
  return 0;
}
