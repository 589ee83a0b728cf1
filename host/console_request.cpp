// Parsing of console socket requests: everything a peer sends is checked
// before anything reaches a receiver.
#include <cstring>

#include "internal/console_request.h"
#include "vantorel/host/host.h"

namespace vantorel {
namespace host {

int parse_console_request(const char* text, std::size_t length, char* receiver,
                          char* command) noexcept {
  if (text == nullptr || length == 0 || length > kMaxConsoleRequest) return kConsoleBadRequest;
  std::size_t space = length;
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) return kConsoleBadRequest;
    if (c == ' ' && space == length) space = i;
  }
  if (space == 0 || space > kMaxReceiverName || space + 1 >= length) return kConsoleBadRequest;
  std::memcpy(receiver, text, space);
  receiver[space] = '\0';
  std::memcpy(command, text + space + 1, length - space - 1);
  command[length - space - 1] = '\0';
  return 0;
}

}  // namespace host
}  // namespace vantorel
