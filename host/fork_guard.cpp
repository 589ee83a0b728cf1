// The host platform's one fork guard: every lock of the platform is taken
// before fork() in the order below (the order in which they nest) and given
// back after it, so that no lock is held in the child. It is registered
// when the platform is loaded, before the library's own guard, so the
// library's locks are taken first and its handlers may still use ours.
//
// The console's delivery lock is not among them: a command holds it while
// it runs, and a running dump may wait for the library's locks, which are
// already held here. The child gets a new one instead (the thread that
// held it does not exist there).
#include <pthread.h>

#include "internal/fork_guard.h"

namespace vantorel {
namespace host {
namespace {

void prepare() {
  hold_process_lock();
  hold_channel();
  hold_servers();
  hold_console();
}

void release(bool child) {
  release_console(child);
  release_servers(child);
  release_channel(child);
  release_process_lock(child);
}

void in_parent() {
  release(false);
}

void in_child() {
  release(true);
}

[[maybe_unused]] const int registered = pthread_atfork(prepare, in_parent, in_child);

}  // namespace
}  // namespace host
}  // namespace vantorel
