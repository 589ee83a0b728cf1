// Locks of the OS wrapper over POSIX mutexes.
#include <cerrno>
#include <ctime>

#include "internal/fork_guard.h"
#include "vantorel/osw.h"

// `count` is 1 for every user: a plain mutual-exclusion lock.
OSW_Mutex_Semaphore::OSW_Mutex_Semaphore(int /*count*/) noexcept {
  pthread_mutex_init(&mutex_, nullptr);
}

OSW_Mutex_Semaphore::~OSW_Mutex_Semaphore() {
  pthread_mutex_destroy(&mutex_);
}

// 0 once held; ETIMEDOUT when a bounded wait (in milliseconds) ran out.
int OSW_Mutex_Semaphore::request(unsigned long timeout_ms) noexcept {
  if (timeout_ms == OSW_WAIT_FOREVER) return pthread_mutex_lock(&mutex_);
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += static_cast<time_t>(timeout_ms / 1000);
  deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return pthread_mutex_timedlock(&mutex_, &deadline);
}

int OSW_Mutex_Semaphore::release() noexcept {
  return pthread_mutex_unlock(&mutex_);
}

OSW_Guard::OSW_Guard(OSW_Mutex_Semaphore& mutex) noexcept
    : mutex_(mutex), locked_(mutex.request(OSW_WAIT_FOREVER) == 0) {}

OSW_Guard::~OSW_Guard() {
  if (locked_) mutex_.release();
}

bool OSW_Guard::locked() const noexcept {
  return locked_;
}

namespace {
pthread_mutex_t process_lock = PTHREAD_MUTEX_INITIALIZER;
}  // namespace

void vantorel::host::hold_process_lock() noexcept {
  pthread_mutex_lock(&process_lock);
}
void vantorel::host::release_process_lock(bool /*child*/) noexcept {
  pthread_mutex_unlock(&process_lock);
}

OSW_Thread_Guard::OSW_Thread_Guard() noexcept {
  pthread_mutex_lock(&process_lock);
}

OSW_Thread_Guard::~OSW_Thread_Guard() {
  pthread_mutex_unlock(&process_lock);
}
