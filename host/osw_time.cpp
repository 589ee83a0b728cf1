// Sleep, clock and local time of the OS wrapper.
#include <cerrno>
#include <ctime>

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

// The trace formatter keeps its rendered date per thread and asks again only
// when the second changes, so this converts afresh every time. The zone
// ($TZ) is read once per process, before the first conversion.
int emwCLBLocalTime_r(const time_t* seconds, struct tm* result) {
  // A function-local static: after the first call one inline check.
  static const bool zone_read = (tzset(), true);
  (void)zone_read;
  if (seconds == nullptr || result == nullptr) return -1;
  return localtime_r(seconds, result) == nullptr ? -1 : 0;
}
