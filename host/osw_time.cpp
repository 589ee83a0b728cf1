// Sleep, clock and local time of the OS wrapper.
#include <cerrno>
#include <cstring>
#include <ctime>

#include "vantorel/osw.h"

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
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return -1;
  clock->seconds = static_cast<uint32_t>(now.tv_sec);
  clock->nanoseconds = static_cast<int32_t>(now.tv_nsec);
  return 0;
}

// Every stored trace line asks for the local time; the broken-down time of
// the current second is kept per thread so that localtime_r runs once a
// second per thread instead of once a line.
int emwCLBLocalTime_r(const time_t* seconds, struct tm* result) {
  thread_local time_t cached_second = -1;
  thread_local struct tm cached {};
  if (*seconds != cached_second) {
    if (localtime_r(seconds, &cached) == nullptr) {
      cached_second = -1;
      return -1;
    }
    cached_second = *seconds;
  }
  std::memcpy(result, &cached, sizeof cached);
  return 0;
}
