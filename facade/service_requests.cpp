// The five service requests: one synchronous exchange each with the
// service facade, on buffers that live on the caller's stack.
#include <cstddef>
#include <cstring>

#include "comm_rms/connect_history.h"
#include "comm_rms/facade.h"
#include "comm_rms/operation_log.h"
#include "facade/trace_points.h"

namespace vantorel {

namespace ft = facade_trace;

namespace {

RETCODE finish(const ft::request_site& site, RETCODE result) {
  comm_rms_operation_log(ft::kind_normal, ft::level_detail, site.return_line, site.function,
                         ft::leave_with_result, static_cast<unsigned int>(result));
  return result;
}

// A caller's text field, cut at its array's end when it has no NUL there,
// so that printing it never reads past the record.
template <size_t Width>
struct bounded_text {
  explicit bounded_text(const char (&field)[Width]) {
    const size_t length = strnlen(field, Width);
    std::memcpy(text, field, length);
    text[length] = '\0';
  }
  char text[Width + 1];
};

}  // namespace

bool comm_rms_facade::send_request(const ft::request_site& site, const void* record, char* reply,
                                   RETCODE* result) {
  comm_rms_operation_log(ft::kind_normal, ft::level_detail, site.enter_line, site.function,
                         ft::enter);
  char request[ft::max_request_length];
  std::memset(request, 0, site.message.request_length);
  if (record != nullptr) std::memcpy(request, record, site.message.request_length);
  std::memset(reply, 0, site.message.reply_capacity);
  unsigned int capacity = site.message.reply_capacity;
  *result = 1;

  // The check writes its own error line when the service does not answer.
  if (is_check_facade() != 1) return false;

  bmc_mc_client* client = mc_client_.load(std::memory_order_acquire);
  if (client == nullptr) {
    comm_rms_operation_log(ft::kind_error, ft::level_error, site.client_missing_line, site.function,
                           ft::client_missing);
    return false;
  }
  // The channel reports its own failures in the reply's first word; the
  // call's result and the capacity word add nothing to that.
  static_cast<void>(client->bmc_mc_send_sync_message(
      0, site.message.id, request, site.message.request_length, reply, &capacity, ft::facade_name));
  std::memcpy(result, reply, sizeof *result);
  return true;
}

RETCODE comm_rms_facade::get_server_path_name(COMM_RMS_SERVER_PATH_INFO& info) {
  const ft::request_site& site = ft::get_server_path_name;
  char reply[ft::get_server_path_name.message.reply_capacity];
  RETCODE result = 1;
  // The service fills the record; what the caller left in it is not sent.
  if (send_request(site, nullptr, reply, &result) && result == 0) {
    std::memcpy(&info, reply + ft::reply_record_offset, sizeof info);
  }
  const bounded_text<sizeof info.server_path_name> path(info.server_path_name);
  comm_rms_operation_log(ft::kind_normal, ft::level_information, site.information_line,
                         site.function, ft::path_name_information, path.text, info.size);
  return finish(site, result);
}

RETCODE comm_rms_facade::register_server(const COMM_RMS_REGISTER_SERVER_INFO& info) {
  const ft::request_site& site = ft::register_server;
  char reply[ft::register_server.message.reply_capacity];
  RETCODE result = 1;
  if (send_request(site, &info, reply, &result)) comm_rms_register_server_log(info, result);
  return finish(site, result);
}

RETCODE comm_rms_facade::unregister_server(const COMM_RMS_UNREGISTER_SERVER_INFO& info) {
  const ft::request_site& site = ft::unregister_server;
  char reply[ft::unregister_server.message.reply_capacity];
  RETCODE result = 1;
  if (send_request(site, &info, reply, &result)) comm_rms_unregister_server_log(info, result);
  return finish(site, result);
}

RETCODE comm_rms_facade::get_server_connect_result(COMM_RMS_CONNECT_RESULT_INFO& info) {
  const ft::request_site& site = ft::get_server_connect_result;
  char reply[ft::get_server_connect_result.message.reply_capacity];
  RETCODE result = 1;
  // The error code comes back whatever the result; the path stays the caller's.
  if (send_request(site, &info, reply, &result)) {
    std::memcpy(
        &info.app_ws_error_code,
        reply + ft::reply_record_offset + offsetof(COMM_RMS_CONNECT_RESULT_INFO, app_ws_error_code),
        sizeof info.app_ws_error_code);
  }
  const bounded_text<sizeof info.server_path_name> path(info.server_path_name);
  comm_rms_operation_log(ft::kind_normal, ft::level_information, site.information_line,
                         site.function, ft::connect_result_information, path.text,
                         info.app_ws_error_code);
  return finish(site, result);
}

RETCODE comm_rms_facade::get_rfb_status(COMM_RMS_RFB_GET_STATUS_INFO& info) {
  const ft::request_site& site = ft::get_rfb_status;
  char reply[ft::get_rfb_status.message.reply_capacity];
  RETCODE result = 1;
  if (send_request(site, &info, reply, &result) && result == 0) {
    std::memcpy(&info, reply + ft::reply_record_offset, sizeof info);
  }
  return finish(site, result);
}

}  // namespace vantorel
