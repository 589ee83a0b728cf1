// Deferred cancellation for the library's own critical stretches.
#pragma once

#include <pthread.h>

namespace vantorel {

// Keeps the calling thread from acting on a cancellation for its life. Held
// wherever the library holds a lock or runs platform code that need not
// unwind cleanly: a cancellation there would leave the lock taken, a half
// made singleton registered, or (inside a noexcept frame) end the process.
// The cancellation is acted on at the caller's next cancellation point.
class cancellation_deferred {
 public:
  cancellation_deferred() noexcept { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &before_); }
  ~cancellation_deferred() {
    int ignored = 0;
    pthread_setcancelstate(before_, &ignored);
  }
  cancellation_deferred(const cancellation_deferred&) = delete;
  cancellation_deferred& operator=(const cancellation_deferred&) = delete;

 private:
  int before_ = PTHREAD_CANCEL_ENABLE;
};

}  // namespace vantorel
