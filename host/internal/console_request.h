// The console socket's request and reply. Internal to the host platform.
//
// Request: one SOCK_SEQPACKET packet holding the text "RECEIVER COMMAND"
// (no terminator): a receiver name without spaces, one space, the command
// (which may hold spaces). Reply: one packet of two 32-bit words in host
// order, {status, result}: status 0 and the receiver's result, or status
// kConsoleBadRequest and result 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantorel {
namespace host {

struct console_reply {
  int32_t status;
  int32_t result;
};

constexpr std::size_t kMaxReceiverName = 63;

// Splits a request of `length` bytes into NUL-terminated `receiver`
// (kMaxReceiverName + 1 bytes) and `command` (kMaxConsoleRequest + 1 bytes).
// 0, or kConsoleBadRequest for an empty, oversized or malformed request
// (control characters, no command, a receiver name too long).
int parse_console_request(const char* text, std::size_t length, char* receiver,
                          char* command) noexcept;

}  // namespace host
}  // namespace vantorel
