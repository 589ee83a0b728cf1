// Creation of the log store and the copy of trace lines into its ring buffer.
#include "log/comm_rms_ucom_log.h"

#include "comm_rms/debug_dump.h"
#include "log/connection_history.h"
#include "log/create_once.h"

namespace vantorel {

std::atomic<comm_rms_ucom_log*> comm_rms_ucom_log::instance_{nullptr};
std::atomic<OSW_Mutex_Semaphore*> comm_rms_ucom_log::mtx_{nullptr};
std::atomic<comm_rms_ucom_log*> comm_rms_ucom_log::held_for_fork_{nullptr};

comm_rms_ucom_log* comm_rms_ucom_log::get_instance() {
  return create_once(instance_, mtx_, [] {
    guard_fork();
    return new comm_rms_ucom_log();
  });
}

void comm_rms_ucom_log::guard_fork() {
  static std::once_flag once;
  std::call_once(once, [] { pthread_atfork(hold_for_fork, let_go_after_fork, let_go_after_fork); });
}

// One fixed order, the order a dump nests them in: dump, history, buffer.
void comm_rms_ucom_log::hold_for_fork() {
  comm_rms_ucom_log* store = instance_.load(std::memory_order_acquire);
  held_for_fork_.store(store, std::memory_order_relaxed);
  if (store != nullptr) store->dump_mtx_.lock();
  connection_history::process_wide().hold();
  if (store != nullptr) store->buffer_mtx_.request(OSW_WAIT_FOREVER);
}

void comm_rms_ucom_log::let_go_after_fork() {
  comm_rms_ucom_log* store = held_for_fork_.load(std::memory_order_relaxed);
  if (store != nullptr) store->buffer_mtx_.release();
  connection_history::process_wide().let_go();
  if (store != nullptr) store->dump_mtx_.unlock();
}

comm_rms_ucom_log::comm_rms_ucom_log() : comm_rms_ucom_log(kRingCapacity, true) {}

comm_rms_ucom_log::comm_rms_ucom_log(unsigned int ring_capacity)
    : comm_rms_ucom_log(ring_capacity, false) {}

comm_rms_ucom_log::comm_rms_ucom_log(unsigned int ring_capacity, bool with_console)
    : buffer_mtx_(1) {
  // Registered before the buffer has storage; a dump meanwhile finds it empty.
  if (with_console) {
    UCOM_UsrCommandManager::ucom_instance()->ucom_add_usr_command(this, debug_dump::receiver_name);
  }
  OSW_Guard lock(buffer_mtx_);
  ring_buffer_.create_ring_buffer(ring_capacity);
}

void comm_rms_ucom_log::push_log(const char* text, unsigned long length) {
  // A length the ring buffer cannot express would store a cut entry.
  if (text == nullptr || length == 0 || static_cast<unsigned int>(length) != length) return;
  OSW_Guard lock(buffer_mtx_);
  ring_buffer_.push_data(const_cast<char*>(text), static_cast<unsigned int>(length));
}

int comm_rms_ucom_log::pop_log(std::vector<unsigned char>& entry) {
  OSW_Guard lock(buffer_mtx_);
  return ring_buffer_.pop_data(entry);
}

}  // namespace vantorel
