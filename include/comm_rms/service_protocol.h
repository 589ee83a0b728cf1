// The messages exchanged with the remote-panel service facade: names, ids
// and sizes. Shared by the library and by anything that plays the service.
#pragma once

#include <cstddef>

#include "comm_rms/records.h"

namespace vantorel {
namespace service_protocol {

// The service facade every request is addressed to.
constexpr char facade_name[] = "f_comm_rms";

// Message ids; no request uses 2.
enum message_id : long {
  msg_get_server_path_name = 1,
  msg_register_server = 3,
  msg_unregister_server = 4,
  msg_get_server_connect_result = 5,
  msg_get_rfb_status = 6,
};

// Readiness: a client checks at most this many times whether the service is
// ready, pausing readiness_pause ms before each check after the first.
constexpr int readiness_checks = 101;
constexpr unsigned long readiness_pause = 300;

// Every reply begins with the service's RETCODE; a record, where the
// request has one to return, follows it.
constexpr unsigned int reply_record_offset = sizeof(RETCODE);

struct message {
  long id;
  unsigned int request_length;
  unsigned int reply_capacity;
};

constexpr message get_server_path_name{msg_get_server_path_name, sizeof(COMM_RMS_SERVER_PATH_INFO),
                                       reply_record_offset + sizeof(COMM_RMS_SERVER_PATH_INFO)};
constexpr message register_server{msg_register_server, sizeof(COMM_RMS_REGISTER_SERVER_INFO),
                                  reply_record_offset};
constexpr message unregister_server{msg_unregister_server, sizeof(COMM_RMS_UNREGISTER_SERVER_INFO),
                                    reply_record_offset};
constexpr message get_server_connect_result{
    msg_get_server_connect_result, sizeof(COMM_RMS_CONNECT_RESULT_INFO),
    reply_record_offset + sizeof(COMM_RMS_CONNECT_RESULT_INFO)};
constexpr message get_rfb_status{msg_get_rfb_status, sizeof(COMM_RMS_RFB_GET_STATUS_INFO),
                                 reply_record_offset + sizeof(COMM_RMS_RFB_GET_STATUS_INFO)};

constexpr message messages[] = {get_server_path_name, register_server, unregister_server,
                                get_server_connect_result, get_rfb_status};

// The wire sizes the service expects; the records' layout fixes them.
static_assert(get_server_path_name.request_length == 264 &&
                  get_server_path_name.reply_capacity == 268,
              "path name message");
static_assert(register_server.request_length == 514 && register_server.reply_capacity == 4,
              "register message");
static_assert(unregister_server.request_length == 264 && unregister_server.reply_capacity == 4,
              "unregister message");
static_assert(get_server_connect_result.request_length == 264 &&
                  get_server_connect_result.reply_capacity == 268,
              "connect result message");
static_assert(get_rfb_status.request_length == 4 && get_rfb_status.reply_capacity == 8,
              "rfb status message");

// Longest request and reply of any message.
constexpr unsigned int max_request_length = register_server.request_length;
constexpr unsigned int max_reply_capacity = get_server_path_name.reply_capacity;

}  // namespace service_protocol
}  // namespace vantorel
