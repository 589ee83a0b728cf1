// The facade singleton, its channel client and the readiness check.
#include "comm_rms/facade.h"

#include <cstdint>
#include <memory>

#include "comm_rms/operation_log.h"
#include "facade/trace_points.h"
#include "log/comm_rms_ucom_log.h"
#include "log/create_once.h"

namespace vantorel {

namespace ft = facade_trace;

std::atomic<comm_rms_facade*> comm_rms_facade::instance_{nullptr};
std::atomic<OSW_Mutex_Semaphore*> comm_rms_facade::mtx_{nullptr};
OSW_Mutex_Semaphore comm_rms_facade::client_mtx_{1};
std::atomic<bmc_mc_client*> comm_rms_facade::mc_client_{nullptr};

namespace {

// The trace shows the low 32 bits of the pointer, which on the target is all of it.
unsigned int pointer_word(const void* pointer) {
  return static_cast<unsigned int>(reinterpret_cast<uintptr_t>(pointer));
}

// The channel answers a long; where long is wider than BOOL, a "not ready"
// answer must not turn into 1 when it is narrowed.
BOOL readiness_word(long answer) {
  if (answer == 1) return 1;
  const BOOL narrowed = static_cast<BOOL>(answer);
  return narrowed == 1 ? 0 : narrowed;
}

}  // namespace

comm_rms_facade* comm_rms_facade::get_instance() {
  return create_once(instance_, mtx_, [] {
    // Owned until published, so that a throw from the lookup's trace frees it.
    std::unique_ptr<comm_rms_facade> created(new comm_rms_facade());
    created->initial(created.get());
    return created.release();
  });
}

comm_rms_facade::comm_rms_facade() : facade_template() {
  comm_rms_operation_log(ft::kind_normal, ft::level_detail, ft::constructor.enter_line,
                         ft::constructor.function, ft::enter);
  comm_rms_operation_log(ft::kind_normal, ft::level_detail, ft::constructor.return_line,
                         ft::constructor.function, ft::leave);
}

comm_rms_facade::~comm_rms_facade() {
  comm_rms_operation_log(ft::kind_normal, ft::level_detail, ft::destructor.enter_line,
                         ft::destructor.function, ft::enter);
  comm_rms_operation_log(ft::kind_normal, ft::level_detail, ft::destructor.return_line,
                         ft::destructor.function, ft::leave);
}

void comm_rms_facade::look_up_client(const ft::lookup_site& site) {
  bmc_mc_client* client = bmc_mc_client::bmc_mc_get_client(ft::facade_name);
  mc_client_.store(client, std::memory_order_release);
  if (client != nullptr) {
    comm_rms_operation_log(ft::kind_normal, ft::level_detail, site.client_found_line, site.function,
                           ft::client_found, pointer_word(client));
  } else {
    comm_rms_operation_log(ft::kind_error, ft::level_error, site.client_missing_line, site.function,
                           ft::client_missing);
  }
}

void comm_rms_facade::initial(comm_rms_facade* /*self*/) {
  comm_rms_operation_log(ft::kind_normal, ft::level_detail, ft::initial.enter_line,
                         ft::initial.function, ft::enter);
  {
    OSW_Guard lock(client_mtx_);
    if (mc_client_.load(std::memory_order_acquire) == nullptr) look_up_client(ft::initial);
  }
  comm_rms_operation_log(ft::kind_normal, ft::level_detail, ft::initial.return_line,
                         ft::initial.function, ft::leave);
}

BOOL comm_rms_facade::is_check_facade() {
  comm_rms_operation_log(ft::kind_normal, ft::level_detail, ft::readiness.enter_line,
                         ft::readiness.function, ft::enter);
  // No lock while retrying: several threads may wait for the service at once.
  int retries = 0;
  long answer = bmc_mc_client::bmc_mc_check_facade(ft::facade_name, 0);
  while (answer != 1) {
    if (retries == ft::max_retries) {
      comm_rms_operation_log(ft::kind_error, ft::level_error, ft::retry_over_line,
                             ft::readiness.function, ft::retry_over);
      break;
    }
    ++retries;
    comm_rms_operation_log(ft::kind_normal, ft::level_information, ft::retry_count_line,
                           ft::readiness.function, ft::retry_count, retries);
    emwOSWSleep(ft::retry_sleep);
    answer = bmc_mc_client::bmc_mc_check_facade(ft::facade_name, 0);
  }
  {
    // A client that was missing at creation may have appeared with the service.
    const cancellation_deferred while_locked;
    OSW_Guard lock(client_mtx_);
    if (answer == 1 && mc_client_.load(std::memory_order_acquire) == nullptr) {
      look_up_client(ft::readiness);
    }
  }
  const BOOL ready = readiness_word(answer);
  comm_rms_operation_log(ft::kind_normal, ft::level_detail, ft::readiness.return_line,
                         ft::readiness.function, ft::leave_with_result,
                         static_cast<unsigned int>(ready));
  return ready;
}

void comm_rms_facade::dispatch(LONG /*msg_id*/, char* /*data*/, UINT /*length*/,
                               GEN_IPC_SVC /*header*/) {
  // The service never sends this client anything it has to act on.
  comm_rms_operation_log(ft::kind_normal, ft::level_detail, ft::dispatch.enter_line,
                         ft::dispatch.function, ft::enter);
  comm_rms_operation_log(ft::kind_normal, ft::level_detail, ft::dispatch.return_line,
                         ft::dispatch.function, ft::leave);
}

}  // namespace vantorel

extern "C" RETCODE comm_rms_initial() {
  namespace ft = vantorel::facade_trace;
  comm_rms_operation_log(ft::kind_normal, ft::level_detail, ft::initial_entry.enter_line,
                         ft::initial_entry.function, ft::enter);
  static_cast<void>(vantorel::comm_rms_facade::get_instance());
  const RETCODE result = 0;
  comm_rms_operation_log(ft::kind_normal, ft::level_detail, ft::initial_entry.return_line,
                         ft::initial_entry.function, ft::leave_with_result,
                         static_cast<unsigned int>(result));
  return result;
}
