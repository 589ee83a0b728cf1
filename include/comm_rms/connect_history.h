// Connection history: one record per register request that reached the
// service, completed by the unregister requests that follow it.
#pragma once

#include <ctime>

#include "comm_rms/export.h"
#include "comm_rms/records.h"

namespace vantorel {

struct COMM_RMS_CONNECT_INFO_LOG {
  uint32_t id;
  struct tm regist_time;
  long regist_nsec;
  unsigned long regist_thread_id;
  COMM_RMS_REGISTER_SERVER_INFO regist_info;
  int32_t regist_call_num;
  RETCODE regist_result;
  struct tm unregist_time;
  long unregist_nsec;
  unsigned long unregist_thread_id;
  COMM_RMS_UNREGISTER_SERVER_INFO unregist_info;
  int32_t unregist_call_num;
  RETCODE unregist_result;
};

#if defined(__ILP32__) || (defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4)
static_assert(sizeof(struct tm) == 44, "struct tm on the 32-bit target");
static_assert(sizeof(COMM_RMS_CONNECT_INFO_LOG) == 904, "history record on the 32-bit target");
#endif

}  // namespace vantorel

extern "C" {
COMM_RMS_API void comm_rms_register_server_log(COMM_RMS_REGISTER_SERVER_INFO info, RETCODE result);
COMM_RMS_API void comm_rms_unregister_server_log(COMM_RMS_UNREGISTER_SERVER_INFO info,
                                                 RETCODE result);
}
