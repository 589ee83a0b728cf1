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

  // Registered with the console under "commRMS"; only get_instance makes
  // a store. It is never destroyed, so the console never holds a receiver
  // that is gone.
  comm_rms_ucom_log();
  ~comm_rms_ucom_log() override = default;
  comm_rms_ucom_log(const comm_rms_ucom_log&) = delete;
  comm_rms_ucom_log& operator=(const comm_rms_ucom_log&) = delete;

  // Stores `length` bytes (terminating NUL included) as one entry. A null
  // text or a zero length is ignored without taking the lock.
  void push_log(const char* text, unsigned long length);

  // The console's command: "UCGETMEMINFO" dumps into the fixed dump file.
  // 0, or -1 when the dump file cannot be opened safely.
  int ucom_usr_command(char* command) override;

  // Renders the connection history section into `file`.
  void output_information_log_(FILE* file);

  // Takes the oldest entry out of the buffer. 0 when `entry` holds it.
  int pop_log(std::vector<unsigned char>& entry);

 private:
  friend struct fork_guard;  // holds the store's locks around fork()

  OSW_Mutex_Semaphore buffer_mtx_;
  put_lib_log_ring_buffer ring_buffer_;
  // Two console threads must not write the same dump file at once.
  std::mutex dump_mtx_;

  static std::atomic<comm_rms_ucom_log*> instance_;
  static std::atomic<OSW_Mutex_Semaphore*> mtx_;
};

}  // namespace vantorel
