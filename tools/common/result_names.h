// The result codes the tools know, by name: the library's own (1, -2) and
// the simulated service's reply words. The simulator names its replies
// from this table and rmsctl, ucom and `rmsctl show` print the same names.
#pragma once

#include <cstdint>

#include "vantorel/ipc.h"

namespace comm_rms_tools {

// Reply words of the simulated service. 0 and 1 keep the library's meaning
// (1 is never sent: it would read as "service not ready").
enum service_code : int32_t {
  SERVICE_OK = 0,
  SERVICE_UNKNOWN_MESSAGE = 0x101,  // message id other than 1, 3, 4, 5, 6
  SERVICE_BAD_LENGTH = 0x102,       // request length differs from the id's record size
  SERVICE_BAD_TEXT = 0x103,         // text without NUL in its field, or an empty server path
  SERVICE_UNKNOWN_PATH = 0x104,     // unregister / connection result of an unregistered path
  SERVICE_NO_SERVER = 0x105,        // path request while no server is registered
  SERVICE_TABLE_FULL = 0x106,       // register of a new path with kMaxServers registered
};

// The library's own failure: the request was never sent.
constexpr int32_t kNotReady = 1;

struct result_name {
  int32_t code;
  const char* name;
  const char* meaning;
};

constexpr result_name kResultNames[] = {
    {SERVICE_OK, "ok", "success"},
    {kNotReady, "not-ready",
     "the service did not answer the readiness check, or no channel client"},
    {BMC_MC_CHANNEL_FAILURE, "channel-failure",
     "the request may have reached the service, but no reply came"},
    {SERVICE_UNKNOWN_MESSAGE, "unknown-message", "unknown message id"},
    {SERVICE_BAD_LENGTH, "bad-length", "request length differs from the id's record size"},
    {SERVICE_BAD_TEXT, "bad-text", "text not NUL-terminated in its field, or empty server path"},
    {SERVICE_UNKNOWN_PATH, "unknown-path", "server path not registered"},
    {SERVICE_NO_SERVER, "no-server", "no server registered"},
    {SERVICE_TABLE_FULL, "table-full", "64 servers registered already"},
};

// The name of `code`, or nullptr for a code without one.
inline const char* result_code_name(int32_t code) {
  for (const result_name& r : kResultNames) {
    if (r.code == code) return r.name;
  }
  return nullptr;
}

}  // namespace comm_rms_tools
