// Creation of the log store and the copy of trace lines into its ring buffer.
#include "log/comm_rms_ucom_log.h"

#include "comm_rms/debug_dump.h"
#include "log/create_once.h"

namespace vantorel {

std::atomic<comm_rms_ucom_log*> comm_rms_ucom_log::instance_{nullptr};
std::atomic<OSW_Mutex_Semaphore*> comm_rms_ucom_log::mtx_{nullptr};

comm_rms_ucom_log* comm_rms_ucom_log::get_instance() {
  return create_once(instance_, mtx_, [] { return new comm_rms_ucom_log(); });
}

comm_rms_ucom_log::comm_rms_ucom_log() : buffer_mtx_(1) {
  // Registered before the buffer has storage; a dump meanwhile finds it empty.
  UCOM_UsrCommandManager::ucom_instance()->ucom_add_usr_command(this, debug_dump::receiver_name);
  OSW_Guard lock(buffer_mtx_);
  ring_buffer_.create_ring_buffer(kRingCapacity);
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
