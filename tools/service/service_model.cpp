#include "service_model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace comm_rms_tools {

namespace {

constexpr size_t kDetailSize = 800;

namespace protocol = vantorel::service_protocol;

// A text field as a request line shows it: at most its width, stopping at
// NUL, with control and non-ASCII bytes shown as '?' so that a request
// always prints as one line.
template <size_t Width>
struct printable {
  explicit printable(const char (&field)[Width]) {
    size_t n = 0;
    for (; n + 1 < Width && field[n] != '\0'; ++n) {
      const unsigned char c = static_cast<unsigned char>(field[n]);
      text[n] = (c < 0x20 || c >= 0x7F) ? '?' : static_cast<char>(c);
    }
    text[n] = '\0';
  }
  char text[Width];
};

bool terminated(const char* field, size_t width) {
  return std::memchr(field, '\0', width);
}

void put_word(service_reply& reply, int32_t code) {
  std::memcpy(reply.bytes, &code, sizeof code);
  reply.code = code;
}

}  // namespace

const char* service_code_name(int32_t code) {
  // 1 and -2 are the library's, never a reply word of ours.
  const char* name =
      code == kNotReady || code == BMC_MC_CHANNEL_FAILURE ? nullptr : result_code_name(code);
  return name != nullptr ? name : "forced";
}

service_model::service_model() : requests_(0) {
  servers_.reserve(kMaxServers);  // a register never allocates
}

bool service_model::set_connect_result(const char* path, int32_t result) {
  if (std::strlen(path) >= sizeof(COMM_RMS_CONNECT_RESULT_INFO::server_path_name) ||
      (results_.size() == kMaxConnectResults && results_.count(path) == 0)) {
    return false;
  }
  results_[path] = result;
  return true;
}

bool service_model::force_code(long msg_id, int32_t code) {
  if (forced_.size() == kMaxForcedCodes && forced_.count(msg_id) == 0) return false;
  forced_[msg_id] = code;
  return true;
}

unsigned service_model::server_count() const {
  return static_cast<unsigned>(servers_.size());
}

std::vector<service_model::server>::iterator service_model::find(const char* path) {
  return std::find_if(servers_.begin(), servers_.end(),
                      [path](const server& s) { return std::strcmp(s.path, path) == 0; });
}

void service_model::handle(long msg_id, const void* request, size_t length, service_reply& reply,
                           char* note, size_t note_size) {
  ++requests_;
  std::memset(&reply, 0, sizeof reply);
  reply.length = protocol::reply_record_offset;  // the word alone
  // The request line's detail, formatted only when the line is wanted: a
  // quiet service spends nothing on it.
  const bool noted = note != nullptr && note_size > 0;
  char detail_text[kDetailSize];
  detail_text[0] = '\0';
  char* const detail = noted ? detail_text : nullptr;
  const unsigned char* bytes = static_cast<const unsigned char*>(request);
  if (bytes == nullptr) length = 0;

  // The messages the service answers: their name in request lines and
  // their handler.
  struct message_kind {
    protocol::message message;
    const char* op;
    int32_t (service_model::*handle)(const unsigned char*, service_reply&, char*, size_t);
  };
  static constexpr message_kind kinds[] = {
      {protocol::get_server_path_name, "path", &service_model::do_path},
      {protocol::register_server, "register", &service_model::do_register},
      {protocol::unregister_server, "unregister", &service_model::do_unregister},
      {protocol::get_server_connect_result, "connect-result", &service_model::do_connect},
      {protocol::get_rfb_status, "rfb-status", &service_model::do_rfb},
  };
  const message_kind* kind = nullptr;
  for (const message_kind& k : kinds) {
    if (k.message.id == msg_id) kind = &k;
  }

  const char* op = kind != nullptr ? kind->op : "unknown";
  int32_t code = SERVICE_OK;
  if (kind == nullptr) {
    code = SERVICE_UNKNOWN_MESSAGE;
  } else if (length != kind->message.request_length) {
    code = SERVICE_BAD_LENGTH;
    if (noted) std::snprintf(detail, kDetailSize, " expected[%u]", kind->message.request_length);
  } else {
    code = (this->*kind->handle)(bytes, reply, detail, kDetailSize);
  }

  const auto forced = forced_.find(msg_id);
  if (forced != forced_.end()) code = forced->second;
  put_word(reply, code);

  if (noted) {
    std::snprintf(note, note_size, "request[%lu] id[%ld] length[%zu] %s%s -> 0x%08X %s", requests_,
                  msg_id, length, op, detail_text, static_cast<unsigned>(code),
                  service_code_name(code));
  }
}

int32_t service_model::do_register(const unsigned char* request, service_reply& /*reply*/,
                                   char* detail, size_t size) {
  COMM_RMS_REGISTER_SERVER_INFO info;
  std::memcpy(&info, request, sizeof info);
  if (!terminated(info.url, sizeof info.url) ||
      !terminated(info.server_pathname, sizeof info.server_pathname) ||
      info.server_pathname[0] == '\0') {
    if (detail != nullptr) std::snprintf(detail, size, " text not terminated or empty path");
    return SERVICE_BAD_TEXT;
  }
  // A server registered again becomes the newest: it moves to the end.
  const auto found = find(info.server_pathname);
  const char* how = found != servers_.end() ? "replaced" : "added";
  if (found != servers_.end()) servers_.erase(found);
  if (servers_.size() == kMaxServers) {
    if (detail != nullptr) {
      std::snprintf(detail, size, " path[%s] url[%s] servers[%u]",
                    printable(info.server_pathname).text, printable(info.url).text, server_count());
    }
    return SERVICE_TABLE_FULL;
  }
  servers_.emplace_back();
  std::memcpy(servers_.back().path, info.server_pathname, sizeof info.server_pathname);
  std::memcpy(servers_.back().url, info.url, sizeof info.url);
  if (detail != nullptr) {
    std::snprintf(detail, size, " path[%s] url[%s] %s servers[%u]",
                  printable(info.server_pathname).text, printable(info.url).text, how,
                  server_count());
  }
  return SERVICE_OK;
}

int32_t service_model::do_unregister(const unsigned char* request, service_reply& /*reply*/,
                                     char* detail, size_t size) {
  COMM_RMS_UNREGISTER_SERVER_INFO info;
  std::memcpy(&info, request, sizeof info);
  if (!terminated(info.server_pathname, sizeof info.server_pathname)) {
    if (detail != nullptr) std::snprintf(detail, size, " text not terminated");
    return SERVICE_BAD_TEXT;
  }
  const auto found = find(info.server_pathname);
  const bool known = found != servers_.end();
  if (known) servers_.erase(found);
  if (detail != nullptr) {
    std::snprintf(detail, size, " path[%s] is_terminated[%d] servers[%u]",
                  printable(info.server_pathname).text, static_cast<int>(info.is_terminated),
                  server_count());
  }
  return known ? SERVICE_OK : SERVICE_UNKNOWN_PATH;
}

int32_t service_model::do_path(const unsigned char* /*request*/, service_reply& reply, char* detail,
                               size_t size) {
  const server* s = servers_.empty() ? nullptr : &servers_.back();
  if (s == nullptr) {
    if (detail != nullptr) std::snprintf(detail, size, " none registered");
    return SERVICE_NO_SERVER;
  }
  COMM_RMS_SERVER_PATH_INFO info;
  std::memset(&info, 0, sizeof info);
  std::memcpy(info.server_path_name, s->path, sizeof s->path);
  info.size = static_cast<int32_t>(std::strlen(s->path));
  std::memcpy(reply.bytes + protocol::reply_record_offset, &info, sizeof info);
  reply.length = protocol::reply_record_offset + sizeof info;
  if (detail != nullptr) {
    std::snprintf(detail, size, " server_path_name[%s] size[%d]", printable(s->path).text,
                  static_cast<int>(info.size));
  }
  return SERVICE_OK;
}

int32_t service_model::do_connect(const unsigned char* request, service_reply& reply, char* detail,
                                  size_t size) {
  COMM_RMS_CONNECT_RESULT_INFO info;
  std::memcpy(&info, request, sizeof info);
  if (!terminated(info.server_path_name, sizeof info.server_path_name)) {
    if (detail != nullptr) std::snprintf(detail, size, " text not terminated");
    return SERVICE_BAD_TEXT;
  }
  if (find(info.server_path_name) == servers_.end()) {
    if (detail != nullptr) {
      std::snprintf(detail, size, " path[%s] not registered",
                    printable(info.server_path_name).text);
    }
    return SERVICE_UNKNOWN_PATH;
  }
  const auto set = results_.find(info.server_path_name);
  const int32_t result = set != results_.end() ? set->second : 0;
  info.app_ws_error_code = result;
  std::memcpy(reply.bytes + protocol::reply_record_offset, &info, sizeof info);
  reply.length = protocol::reply_record_offset + sizeof info;
  if (detail != nullptr) {
    std::snprintf(detail, size, " path[%s] app_ws_error_code[%d]",
                  printable(info.server_path_name).text, static_cast<int>(result));
  }
  return SERVICE_OK;
}

int32_t service_model::do_rfb(const unsigned char* /*request*/, service_reply& reply, char* detail,
                              size_t size) {
  COMM_RMS_RFB_GET_STATUS_INFO info;
  info.status = server_count() > 0 ? 1 : 0;
  std::memcpy(reply.bytes + protocol::reply_record_offset, &info, sizeof info);
  reply.length = protocol::reply_record_offset + sizeof info;
  if (detail != nullptr) std::snprintf(detail, size, " status[%d]", static_cast<int>(info.status));
  return SERVICE_OK;
}

}  // namespace comm_rms_tools
