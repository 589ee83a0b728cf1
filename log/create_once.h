// Double-checked creation shared by the library's singletons (the facade and
// the log store): the published pointer is read without a lock, the creation
// mutex is made once under the platform's process-wide guard, and an object
// is published only after it is fully set up.
#pragma once

#include <atomic>

#include "log/cancellation_deferred.h"
#include "log/fork_guard.h"
#include "vantorel/osw.h"

namespace vantorel {

// The creation mutex in `slot`, made on first need. The fork guard makes it
// through here too, so that no creation mutex can appear while it holds them.
inline OSW_Mutex_Semaphore& creation_mutex(std::atomic<OSW_Mutex_Semaphore*>& slot) {
  OSW_Mutex_Semaphore* creation = slot.load(std::memory_order_acquire);
  if (creation == nullptr) {
    OSW_Thread_Guard process_lock;
    creation = slot.load(std::memory_order_acquire);
    if (creation == nullptr) {
      creation = new OSW_Mutex_Semaphore(1);
      slot.store(creation, std::memory_order_release);
    }
  }
  return *creation;
}

template <typename T, typename Make>
T* create_once(std::atomic<T*>& instance, std::atomic<OSW_Mutex_Semaphore*>& creation_slot,
               Make make) {
  T* object = instance.load(std::memory_order_acquire);
  if (object != nullptr) return object;

  fork_guard::install();
  const cancellation_deferred whole_creation;
  OSW_Guard lock(creation_mutex(creation_slot));
  static_cast<void>(lock.locked());  // the wait has no limit; the answer changes nothing
  object = instance.load(std::memory_order_acquire);
  if (object == nullptr) {
    object = make();
    instance.store(object, std::memory_order_release);
  }
  return object;
}

}  // namespace vantorel
