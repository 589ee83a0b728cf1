// Double-checked creation shared by the library's singletons (the facade and
// the log store): the published pointer is read without a lock, the creation
// mutex is made once under the platform's process-wide guard, and an object
// is published only after it is fully set up.
#pragma once

#include <atomic>

#include "vantorel/osw.h"

namespace vantorel {

template <typename T, typename Make>
T* create_once(std::atomic<T*>& instance, std::atomic<OSW_Mutex_Semaphore*>& creation_mutex,
               Make make) {
  T* object = instance.load(std::memory_order_acquire);
  if (object != nullptr) return object;

  OSW_Mutex_Semaphore* creation = creation_mutex.load(std::memory_order_acquire);
  if (creation == nullptr) {
    OSW_Thread_Guard process_lock;
    creation = creation_mutex.load(std::memory_order_acquire);
    if (creation == nullptr) {
      creation = new OSW_Mutex_Semaphore(1);
      creation_mutex.store(creation, std::memory_order_release);
    }
  }

  OSW_Guard lock(*creation);
  static_cast<void>(lock.locked());  // the wait has no limit; the answer changes nothing
  object = instance.load(std::memory_order_acquire);
  if (object == nullptr) {
    object = make();
    instance.store(object, std::memory_order_release);
  }
  return object;
}

}  // namespace vantorel
