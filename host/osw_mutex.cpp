// Locks of the OS wrapper over POSIX mutexes.
#include "vantorel/osw.h"

OSW_Mutex_Semaphore::OSW_Mutex_Semaphore(int /*count*/) noexcept {
  pthread_mutex_init(&mutex_, nullptr);
}

OSW_Mutex_Semaphore::~OSW_Mutex_Semaphore() {
  pthread_mutex_destroy(&mutex_);
}

// Every caller waits without limit; a bounded wait is not needed here.
int OSW_Mutex_Semaphore::request(unsigned long /*timeout_ms*/) noexcept {
  return pthread_mutex_lock(&mutex_);
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

OSW_Thread_Guard::OSW_Thread_Guard() noexcept {
  pthread_mutex_lock(&process_lock);
}

OSW_Thread_Guard::~OSW_Thread_Guard() {
  pthread_mutex_unlock(&process_lock);
}
