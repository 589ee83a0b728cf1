// The order in which the library's locks nest, written once: prepare takes
// them front to back, both sides of the fork give them back the other way.
#include "log/fork_guard.h"

#include <pthread.h>

#include "comm_rms/facade.h"
#include "log/comm_rms_ucom_log.h"
#include "log/connection_history.h"
#include "log/create_once.h"

namespace vantorel {

namespace {
// The store whose locks prepare took, read under the store's creation lock,
// so that a store published while the fork goes on is never released by
// mistake. Written and read only by the forking thread.
comm_rms_ucom_log* held_store = nullptr;
}  // namespace

void fork_guard::install() {
  static const int registered = pthread_atfork(hold_all, let_go_all, let_go_all);
  static_cast<void>(registered);
}

// Facade creation, its channel client, store creation, then the store's dump,
// the connection history and the store's ring buffer: the order in which a
// first request that traces, and a dump, nest them. A creation mutex that does
// not exist yet is made here, through the creation path, before any is taken.
const fork_guard::step* fork_guard::order(size_t* count) {
  using store = comm_rms_ucom_log;
  static const step steps[] = {
      {[] { creation_mutex(comm_rms_facade::mtx_).request(OSW_WAIT_FOREVER); },
       [] { comm_rms_facade::mtx_.load()->release(); }},
      {[] { comm_rms_facade::client_mtx_.request(OSW_WAIT_FOREVER); },
       [] { comm_rms_facade::client_mtx_.release(); }},
      {[] {
         creation_mutex(store::mtx_).request(OSW_WAIT_FOREVER);
         held_store = store::instance_.load(std::memory_order_acquire);
       },
       [] { store::mtx_.load()->release(); }},
      {[] {
         if (held_store != nullptr) held_store->dump_mtx_.lock();
       },
       [] {
         if (held_store != nullptr) held_store->dump_mtx_.unlock();
       }},
      {[] { connection_history::process_wide().hold(); },
       [] { connection_history::process_wide().let_go(); }},
      {[] {
         if (held_store != nullptr) held_store->buffer_mtx_.request(OSW_WAIT_FOREVER);
       },
       [] {
         if (held_store != nullptr) held_store->buffer_mtx_.release();
       }},
  };
  *count = sizeof steps / sizeof steps[0];
  return steps;
}

void fork_guard::hold_all() {
  size_t count = 0;
  const step* steps = order(&count);
  for (size_t i = 0; i < count; ++i) steps[i].hold();
}

void fork_guard::let_go_all() {
  size_t count = 0;
  const step* steps = order(&count);
  for (size_t i = count; i > 0; --i) steps[i - 1].let_go();
}

}  // namespace vantorel
