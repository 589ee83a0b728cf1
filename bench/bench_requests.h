// The five requests as the benchmarks make them, with their message shapes.
#pragma once

#include <cstring>

#include "comm_rms/comm_rms.h"
#include "comm_rms/service_protocol.h"

namespace comm_rms_bench {

namespace protocol = vantorel::service_protocol;

inline COMM_RMS_REGISTER_SERVER_INFO register_info{};
inline COMM_RMS_UNREGISTER_SERVER_INFO unregister_info{};

inline void fill_records() {
  std::strcpy(register_info.url, "vnc://192.0.2.10:5900");
  std::strcpy(register_info.server_pathname, "/run/bench/server");
  std::strcpy(unregister_info.server_pathname, "/run/bench/server");
}

inline RETCODE get_server_path_name(vantorel::comm_rms_facade* facade) {
  COMM_RMS_SERVER_PATH_INFO info{};
  return facade->get_server_path_name(info);
}
inline RETCODE register_server(vantorel::comm_rms_facade* facade) {
  return facade->register_server(register_info);
}
inline RETCODE unregister_server(vantorel::comm_rms_facade* facade) {
  return facade->unregister_server(unregister_info);
}
inline RETCODE get_server_connect_result(vantorel::comm_rms_facade* facade) {
  COMM_RMS_CONNECT_RESULT_INFO info{};
  std::strcpy(info.server_path_name, "/run/bench/server");
  return facade->get_server_connect_result(info);
}
inline RETCODE get_rfb_status(vantorel::comm_rms_facade* facade) {
  COMM_RMS_RFB_GET_STATUS_INFO info{};
  return facade->get_rfb_status(info);
}

struct message_kind {
  const char* name;
  RETCODE (*request)(vantorel::comm_rms_facade*);
  protocol::message shape;
};

inline const message_kind kMessages[] = {
    {"get_server_path_name", get_server_path_name, protocol::get_server_path_name},
    {"register_server", register_server, protocol::register_server},
    {"unregister_server", unregister_server, protocol::unregister_server},
    {"get_server_connect_result", get_server_connect_result, protocol::get_server_connect_result},
    {"get_rfb_status", get_rfb_status, protocol::get_rfb_status},
};

}  // namespace comm_rms_bench
