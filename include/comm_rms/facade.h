// The client's one object for the remote-panel service.
#pragma once

#include <atomic>

#include "comm_rms/export.h"
#include "comm_rms/records.h"
#include "vantorel/ipc.h"
#include "vantorel/osw.h"

namespace vantorel {

struct fork_guard;
namespace facade_trace {
struct lookup_site;
struct request_site;
}  // namespace facade_trace

// Each request sends one synchronous message to the service facade
// "f_comm_rms" after a readiness check. Results: 0 success, 1 the library's
// own failure (service not ready, no channel client), anything else the
// service's (or the channel's) reply word, unchanged.
class COMM_RMS_API comm_rms_facade : public facade_template {
 public:
  // The process's facade, created on the first call; never null.
  static comm_rms_facade* get_instance();

  RETCODE get_server_path_name(COMM_RMS_SERVER_PATH_INFO& info);
  RETCODE register_server(const COMM_RMS_REGISTER_SERVER_INFO& info);
  RETCODE unregister_server(const COMM_RMS_UNREGISTER_SERVER_INFO& info);
  RETCODE get_server_connect_result(COMM_RMS_CONNECT_RESULT_INFO& info);
  RETCODE get_rfb_status(COMM_RMS_RFB_GET_STATUS_INFO& info);

  ~comm_rms_facade() override;
  void dispatch(LONG msg_id, char* data, UINT length, GEN_IPC_SVC header) override;

 private:
  friend struct fork_guard;  // holds the facade's locks around fork()
  comm_rms_facade();
  void initial(comm_rms_facade* self);
  BOOL is_check_facade();
  // Looks the channel client up and stores it; the caller holds client_mtx_.
  void look_up_client(const facade_trace::lookup_site& site);
  // Writes the entry line, copies `record` (null: zeros) into the request and,
  // once the service is ready and a client exists, sends it. True when the
  // message went out; then `*result` is the reply's first word.
  bool send_request(const facade_trace::request_site& site, const void* record, char* reply,
                    RETCODE* result);

  static std::atomic<comm_rms_facade*> instance_;
  static std::atomic<OSW_Mutex_Semaphore*> mtx_;
  static OSW_Mutex_Semaphore client_mtx_;
  static std::atomic<bmc_mc_client*> mc_client_;
};

}  // namespace vantorel

extern "C" {
// Creates the facade ahead of the first request. Always 0.
COMM_RMS_API RETCODE comm_rms_initial();
}
