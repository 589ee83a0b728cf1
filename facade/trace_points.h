// Every trace line the facade writes: its fixed text, its kind and level,
// and the source position it reports. Kept in one table so that the code
// reads as steps and the positions cannot drift apart between operations.
// The positions are fixed numbers, not __LINE__: they are part of the trace
// lines that readers and tools match, so editing this code must not move them.
#pragma once

#include "comm_rms/facade.h"
#include "comm_rms/operation_log.h"
#include "comm_rms/service_protocol.h"

namespace vantorel {
namespace facade_trace {

// `kind` as handed to the platform trace output.
constexpr int kind_error = 0;
constexpr int kind_normal = 1;

constexpr int level_detail = COMM_RMS_LEVEL_DETAIL;  // dropped by the formatter's mask
constexpr int level_information = COMM_RMS_LEVEL_INFORMATION;
constexpr int level_error = COMM_RMS_LEVEL_ERROR;

using service_protocol::facade_name;

// Formats. Arrays rather than pointers so that printf-style checking sees them.
constexpr char enter[] = "[enter ]";
constexpr char leave[] = "[return]";
constexpr char leave_with_result[] = "[return] Ret[%#08X]";
constexpr char client_found[] = "mc_client[%#08X]";
constexpr char client_missing[] = "mc_client_ is null.";
constexpr char retry_count[] = "check server - retry is %d times.";
constexpr char retry_over[] = "check server - retry is over.";
constexpr char path_name_information[] = "server_path_name[%s] size[%d]";
constexpr char connect_result_information[] = "server_path_name[%s] app_ws_error_code[%d]";

// An operation that writes only its entry and return lines.
struct plain_site {
  const char* function;
  int enter_line;
  int return_line;
};

// An operation that may look the message-channel client up.
struct lookup_site {
  const char* function;
  int enter_line;
  int client_found_line;
  int client_missing_line;
  int return_line;
};

// One service request: its message and its trace positions.
struct request_site {
  const char* function;
  service_protocol::message message;
  int enter_line;
  int client_missing_line;
  int information_line;  // 0: the request writes no information line
  int return_line;
};

constexpr plain_site constructor{"vantorel::comm_rms_facade::comm_rms_facade()", 402, 406};
constexpr plain_site destructor{"virtual vantorel::comm_rms_facade::~comm_rms_facade()", 418, 422};
constexpr plain_site dispatch{
    "virtual void vantorel::comm_rms_facade::dispatch(LONG, char*, UINT, GEN_IPC_SVC)", 547, 685};
constexpr plain_site initial_entry{"RETCODE comm_rms_initial()", 45, 51};

constexpr lookup_site initial{"void vantorel::comm_rms_facade::initial(vantorel::comm_rms_facade*)",
                              435, 459, 462, 469};
constexpr lookup_site readiness{"BOOL vantorel::comm_rms_facade::is_check_facade()", 482, 519, 522,
                                529};
constexpr int retry_over_line = 505;
constexpr int retry_count_line = 509;

// Readiness: one check, then at most this many retries, each after a sleep.
constexpr int max_retries = service_protocol::readiness_checks - 1;
constexpr unsigned long retry_sleep = service_protocol::readiness_pause;

using service_protocol::reply_record_offset;

constexpr request_site get_server_path_name{
    "RETCODE vantorel::comm_rms_facade::get_server_path_name(COMM_RMS_SERVER_PATH_INFO&)",
    service_protocol::get_server_path_name,
    112,
    151,
    157,
    158};
constexpr request_site register_server{
    "RETCODE vantorel::comm_rms_facade::register_server(const COMM_RMS_REGISTER_SERVER_INFO&)",
    service_protocol::register_server,
    173,
    209,
    0,
    215};
constexpr request_site unregister_server{
    "RETCODE vantorel::comm_rms_facade::unregister_server(const COMM_RMS_UNREGISTER_SERVER_INFO&)",
    service_protocol::unregister_server,
    230,
    266,
    0,
    272};
constexpr request_site get_server_connect_result{
    "RETCODE vantorel::comm_rms_facade::get_server_connect_result(COMM_RMS_CONNECT_RESULT_INFO&)",
    service_protocol::get_server_connect_result,
    287,
    323,
    329,
    330};
constexpr request_site get_rfb_status{
    "RETCODE vantorel::comm_rms_facade::get_rfb_status(COMM_RMS_RFB_GET_STATUS_INFO&)",
    service_protocol::get_rfb_status,
    345,
    383,
    0,
    389};

// Request and reply buffers live on the caller's stack; this bounds them.
using service_protocol::max_request_length;

}  // namespace facade_trace
}  // namespace vantorel
