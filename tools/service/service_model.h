// The remote-panel service as the simulator plays it: a pure function of the
// requests seen so far. It takes a message id and the request bytes and
// writes the reply bytes; it never reads outside the request nor writes
// outside the reply, whatever it is given.
//
// Model:
//   id 3 register    (514 bytes): adds the server keyed by server_pathname,
//                    or replaces the one with that path (it becomes newest).
//   id 4 unregister  (264 bytes): removes the server with that path.
//   id 1 path        (264 bytes): the newest registered server's path, with
//                    its length as `size`.
//   id 5 connection  (264 bytes): the connection result of a registered path
//                    in `app_ws_error_code` (0 unless set for that path).
//   id 6 RFB status  (4 bytes):   1 while a server is registered, else 0.
// Every reply starts with the reply word (code below). Successful replies to
// ids 1, 5 and 6 carry the record after it (268, 268 and 8 bytes); every
// other reply is the 4-byte word alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "../common/result_names.h"
#include "comm_rms/records.h"
#include "comm_rms/service_protocol.h"

namespace comm_rms_tools {

// Name of a reply word for the request lines ("ok", "unknown-message", ...);
// "forced" for any other value.
const char* service_code_name(int32_t code);

constexpr unsigned kMaxReply = vantorel::service_protocol::max_reply_capacity;
constexpr unsigned kMaxServers = 64;
constexpr unsigned kMaxConnectResults = 64;
constexpr unsigned kMaxForcedCodes = 8;
constexpr size_t kNoteSize = 1024;

struct service_reply {
  unsigned char bytes[kMaxReply];
  unsigned length;  // bytes of `bytes` to send
  int32_t code;     // the reply word, as sent
};

class service_model {
 public:
  service_model();

  // Connection result reported for `path` (id 5). False when the path does
  // not fit the field or the table of results is full.
  bool set_connect_result(const char* path, int32_t result);
  // Every later reply to `msg_id` carries `code` as its reply word; the
  // request is handled as usual otherwise (state changes, record bytes).
  bool force_code(long msg_id, int32_t code);

  // Handles one request and fills `reply`; `note` receives one printable
  // line (no newline) describing it, cut to `note_size`.
  void handle(long msg_id, const void* request, size_t length, service_reply& reply, char* note,
              size_t note_size);

  unsigned server_count() const;
  unsigned long requests_handled() const { return requests_; }

 private:
  struct server {
    char path[sizeof(COMM_RMS_REGISTER_SERVER_INFO::server_pathname)];
    char url[sizeof(COMM_RMS_REGISTER_SERVER_INFO::url)];
  };
  // One per message kind: the request (of the kind's length), the reply to
  // fill after its word, and room for the request line's detail (null when no
  // line is printed: then nothing is formatted).
  int32_t do_register(const unsigned char* request, service_reply& reply, char* detail,
                      size_t size);
  int32_t do_unregister(const unsigned char* request, service_reply& reply, char* detail,
                        size_t size);
  int32_t do_path(const unsigned char* request, service_reply& reply, char* detail, size_t size);
  int32_t do_connect(const unsigned char* request, service_reply& reply, char* detail, size_t size);
  int32_t do_rfb(const unsigned char* request, service_reply& reply, char* detail, size_t size);
  // The registered server with `path`, or servers_.end().
  std::vector<server>::iterator find(const char* path);

  std::vector<server> servers_;  // oldest first; room for kMaxServers from the start
  std::map<std::string, int32_t, std::less<>> results_;  // by path
  std::map<long, int32_t> forced_;                       // by message id
  unsigned long requests_;
};

}  // namespace comm_rms_tools
