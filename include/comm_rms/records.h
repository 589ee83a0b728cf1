// Request records shared with the remote-panel service. They cross the
// process boundary byte for byte, in host byte order.
#pragma once

#include <cstddef>

#include "vantorel/base_types.h"

#pragma pack(push, 1)
struct COMM_RMS_REGISTER_SERVER_INFO {
  char url[257];
  char server_pathname[257];
};
#pragma pack(pop)

struct COMM_RMS_UNREGISTER_SERVER_INFO {
  char server_pathname[260];
  int32_t is_terminated;
};

struct COMM_RMS_SERVER_PATH_INFO {
  char server_path_name[260];
  int32_t size;
};

struct COMM_RMS_CONNECT_RESULT_INFO {
  char server_path_name[260];
  int32_t app_ws_error_code;
};

struct COMM_RMS_RFB_GET_STATUS_INFO {
  int32_t status;
};

static_assert(sizeof(COMM_RMS_REGISTER_SERVER_INFO) == 514, "register record layout");
static_assert(offsetof(COMM_RMS_REGISTER_SERVER_INFO, server_pathname) == 257,
              "register record layout");
static_assert(sizeof(COMM_RMS_UNREGISTER_SERVER_INFO) == 264, "unregister record layout");
static_assert(offsetof(COMM_RMS_UNREGISTER_SERVER_INFO, is_terminated) == 260,
              "unregister record layout");
static_assert(sizeof(COMM_RMS_SERVER_PATH_INFO) == 264, "path record layout");
static_assert(offsetof(COMM_RMS_SERVER_PATH_INFO, size) == 260, "path record layout");
static_assert(sizeof(COMM_RMS_CONNECT_RESULT_INFO) == 264, "connect result record layout");
static_assert(offsetof(COMM_RMS_CONNECT_RESULT_INFO, app_ws_error_code) == 260,
              "connect result record layout");
static_assert(sizeof(COMM_RMS_RFB_GET_STATUS_INFO) == 4, "rfb status record layout");
