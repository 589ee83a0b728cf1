// The simulator's message handling: any message id, length and bytes get a
// reply of a known shape, and the registered servers follow a plain set.
#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "fuzz_check.h"
#include "service_model.h"

namespace {

using comm_rms_tools::service_model;
using comm_rms_tools::service_reply;

size_t record_size(long id) {
  switch (id) {
    case 1:
    case 4:
    case 5:
      return 264;
    case 3:
      return 514;
    case 6:
      return 4;
    default:
      return 0;
  }
}

template <size_t N>
bool terminated(const char (&text)[N]) {
  return std::memchr(text, '\0', N) != nullptr;
}

}  // namespace

// Input: messages of [id selector][length selector][note size][body...].
// An id selector below 8 is the id itself (0..7), otherwise a wide value;
// a length selector with bit 7 set asks for the id's record size.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  service_model model;
  std::set<std::string> servers;
  unsigned char body[700];
  char note[comm_rms_tools::kNoteSize + 1];
  size_t pos = 0;
  unsigned long handled = 0;
  while (pos + 3 <= size) {
    const uint8_t id_sel = data[pos], len_sel = data[pos + 1], note_sel = data[pos + 2];
    pos += 3;
    const long id = id_sel < 8 ? static_cast<long>(id_sel)
                               : static_cast<long>(static_cast<int8_t>(id_sel)) * 0x1000001L;
    size_t length = (len_sel & 0x80) ? record_size(id) : (len_sel & 0x7F) * 5u;
    const size_t available = size - pos < sizeof body ? size - pos : sizeof body;
    std::memset(body, 0, sizeof body);
    std::memcpy(body, data + pos, available < length ? available : length);
    pos += available < length ? available : length;

    const size_t note_size = note_sel % (sizeof note);
    std::memset(note, 'X', sizeof note);
    service_reply reply;
    model.handle(id, length == 0 && (note_sel & 1) ? nullptr : body, length, reply, note,
                 note_size);
    ++handled;
    FUZZ_CHECK(model.requests_handled() == handled);

    int32_t word = 0;
    FUZZ_CHECK(reply.length >= sizeof word && reply.length <= sizeof reply.bytes);
    std::memcpy(&word, reply.bytes, sizeof word);
    FUZZ_CHECK(word == reply.code);
    if (note_size > 0) FUZZ_CHECK(std::memchr(note, '\0', note_size) != nullptr);
    FUZZ_CHECK(note[note_size] == 'X');  // nothing written past the given size

    if (record_size(id) == 0) {
      FUZZ_CHECK(reply.code == comm_rms_tools::SERVICE_UNKNOWN_MESSAGE);
    } else if (length != record_size(id)) {
      FUZZ_CHECK(reply.code == comm_rms_tools::SERVICE_BAD_LENGTH);
    } else if (id == 3) {
      COMM_RMS_REGISTER_SERVER_INFO info;
      std::memcpy(&info, body, sizeof info);
      if (!terminated(info.url) || !terminated(info.server_pathname) ||
          info.server_pathname[0] == '\0') {
        FUZZ_CHECK(reply.code == comm_rms_tools::SERVICE_BAD_TEXT);
      } else if (servers.count(info.server_pathname) == 1 ||
                 servers.size() < comm_rms_tools::kMaxServers) {
        FUZZ_CHECK(reply.code == comm_rms_tools::SERVICE_OK);
        servers.insert(info.server_pathname);
      } else {
        FUZZ_CHECK(reply.code == comm_rms_tools::SERVICE_TABLE_FULL);
      }
    } else if (id == 4) {
      COMM_RMS_UNREGISTER_SERVER_INFO info;
      std::memcpy(&info, body, sizeof info);
      if (terminated(info.server_pathname)) {
        const bool known = servers.erase(info.server_pathname) == 1;
        FUZZ_CHECK(reply.code ==
                   (known ? comm_rms_tools::SERVICE_OK : comm_rms_tools::SERVICE_UNKNOWN_PATH));
      } else {
        FUZZ_CHECK(reply.code == comm_rms_tools::SERVICE_BAD_TEXT);
      }
    } else if (id == 1) {
      if (servers.empty()) {
        FUZZ_CHECK(reply.code == comm_rms_tools::SERVICE_NO_SERVER);
      } else {
        COMM_RMS_SERVER_PATH_INFO info;
        FUZZ_CHECK(reply.code == 0 && reply.length == 4 + sizeof info);
        std::memcpy(&info, reply.bytes + 4, sizeof info);
        FUZZ_CHECK(terminated(info.server_path_name));
        FUZZ_CHECK(servers.count(info.server_path_name) == 1);
        FUZZ_CHECK(info.size == static_cast<int32_t>(std::strlen(info.server_path_name)));
      }
    } else if (id == 5) {
      COMM_RMS_CONNECT_RESULT_INFO info;
      std::memcpy(&info, body, sizeof info);
      if (!terminated(info.server_path_name)) {
        FUZZ_CHECK(reply.code == comm_rms_tools::SERVICE_BAD_TEXT);
      } else if (servers.count(info.server_path_name) == 0) {
        FUZZ_CHECK(reply.code == comm_rms_tools::SERVICE_UNKNOWN_PATH);
      } else {
        COMM_RMS_CONNECT_RESULT_INFO answer;
        FUZZ_CHECK(reply.code == 0 && reply.length == 4 + sizeof answer);
        std::memcpy(&answer, reply.bytes + 4, sizeof answer);
        FUZZ_CHECK(answer.app_ws_error_code == 0);
      }
    } else if (id == 6) {
      COMM_RMS_RFB_GET_STATUS_INFO info;
      FUZZ_CHECK(reply.code == 0 && reply.length == 4 + sizeof info);
      std::memcpy(&info, reply.bytes + 4, sizeof info);
      FUZZ_CHECK(info.status == (servers.empty() ? 0 : 1));
    }
    FUZZ_CHECK(model.server_count() == servers.size());
  }
  return 0;
}
