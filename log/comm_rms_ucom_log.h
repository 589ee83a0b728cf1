// The log store: the library's recent trace lines in a byte ring buffer, and
// the debug console receiver that writes them (with the connection history)
// to the dump file.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

#include "vantorel/osw.h"
#include "vantorel/ring_buffer.h"
#include "vantorel/ucom.h"

namespace vantorel {

class comm_rms_ucom_log : private UCOM_UsrCommandReceiver {
 public:
  static constexpr unsigned int kRingCapacity = 102400;

  // The process's store, created on the first call; never null.
  static comm_rms_ucom_log* get_instance();

  // Makes fork() safe for the store and the connection history: their locks
  // are held while the process is copied. Once per process; whoever has
  // locks of its own that are taken before these registers after this.
  static void guard_fork();

  // A store with the standard capacity, registered with the console under
  // "commRMS"; only get_instance makes one. It is never destroyed, so the
  // console never holds a receiver that is gone.
  comm_rms_ucom_log();
  // A store whose ring buffer holds `ring_capacity` bytes, known to no
  // console (small stores let tests and tools drive the buffer to its limits).
  explicit comm_rms_ucom_log(unsigned int ring_capacity);
  ~comm_rms_ucom_log() override = default;
  comm_rms_ucom_log(const comm_rms_ucom_log&) = delete;
  comm_rms_ucom_log& operator=(const comm_rms_ucom_log&) = delete;

  // Stores `length` bytes (terminating NUL included) as one entry. A null
  // text or a zero length is ignored without taking the lock.
  void push_log(const char* text, unsigned long length);

  // The console's command: "UCGETMEMINFO" dumps into the fixed dump file.
  // 0, or -1 when the dump file cannot be opened safely.
  int ucom_usr_command(char* command) override;

  // The dump into "<directory>comm_rms_client_debug.log" (`directory` ends
  // with '/'). The directory must be a real directory owned by this user or
  // root and not writable by group or others unless sticky; the file must be a
  // regular file with one link owned by this user, or is created 0600.
  // Anything else is refused like a missing directory: message, -1.
  int dump_to(const char* directory);

  // Renders the connection history section into `file`.
  void output_information_log_(FILE* file);

  // `inspect(ring buffer)` under the buffer's lock: how tests and tools read
  // the platform's own accounting of it.
  template <typename Inspect>
  auto with_ring(Inspect inspect) {
    OSW_Guard lock(buffer_mtx_);
    return inspect(static_cast<const put_lib_log_ring_buffer&>(ring_buffer_));
  }
  // Takes the oldest entry out of the buffer. 0 when `entry` holds it.
  int pop_log(std::vector<unsigned char>& entry);

 private:
  comm_rms_ucom_log(unsigned int ring_capacity, bool with_console);

  OSW_Mutex_Semaphore buffer_mtx_;
  put_lib_log_ring_buffer ring_buffer_;
  // Two console threads must not write the same dump file at once.
  std::mutex dump_mtx_;

  static std::atomic<comm_rms_ucom_log*> instance_;
  static std::atomic<OSW_Mutex_Semaphore*> mtx_;

  static void hold_for_fork();
  static void let_go_after_fork();
  // The store held around a fork, fixed in prepare: the process's store may
  // be published while the fork goes on.
  static std::atomic<comm_rms_ucom_log*> held_for_fork_;
};

}  // namespace vantorel
