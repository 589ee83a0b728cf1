// The library's one fork guard: every lock of the library is held while
// fork() copies the process, so a child never inherits one taken by a
// thread it does not have.
#pragma once

#include <cstddef>

namespace vantorel {

struct fork_guard {
  // Registers the handlers, once per process. Called before the library
  // first takes a lock of its own; the platform's handlers, registered when
  // it was loaded, come earlier, so in prepare the library's run first.
  static void install();

 private:
  struct step {
    void (*hold)();
    void (*let_go)();
  };
  static const step* order(size_t* count);
  static void hold_all();
  static void let_go_all();
};

}  // namespace vantorel
