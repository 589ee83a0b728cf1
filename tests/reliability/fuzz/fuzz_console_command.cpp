// Parsing of console socket requests: whatever a peer sends, the parser
// either refuses it or splits it into a receiver name and a command that
// together give back the request exactly.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "internal/console_request.h"
#include "vantorel/host/host.h"

namespace {

// The rule read plainly: printable bytes only, a non-empty receiver name of
// at most kMaxReceiverName bytes up to the first space, a non-empty command.
bool acceptable(const std::string& request) {
  if (request.empty() || request.size() > vantorel::host::kMaxConsoleRequest) return false;
  for (unsigned char c : request) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  const size_t space = request.find(' ');
  return space != std::string::npos && space > 0 && space <= vantorel::host::kMaxReceiverName &&
         space + 1 < request.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string request(reinterpret_cast<const char*>(data), size);
  // Guard bytes around both outputs catch a write past their documented size.
  char receiver[vantorel::host::kMaxReceiverName + 1 + 8];
  char command[vantorel::host::kMaxConsoleRequest + 1 + 8];
  std::memset(receiver, 0x55, sizeof receiver);
  std::memset(command, 0x55, sizeof command);
  const int rc = vantorel::host::parse_console_request(
      size == 0 ? nullptr : reinterpret_cast<const char*>(data), size, receiver, command);
  FUZZ_CHECK((rc == 0) == acceptable(request));
  if (rc == 0) {
    FUZZ_CHECK(std::memchr(receiver, '\0', vantorel::host::kMaxReceiverName + 1) != nullptr);
    FUZZ_CHECK(std::memchr(command, '\0', vantorel::host::kMaxConsoleRequest + 1) != nullptr);
    FUZZ_CHECK(std::string(receiver) + " " + command == request);
    FUZZ_CHECK(std::strchr(receiver, ' ') == nullptr);
  } else {
    FUZZ_CHECK(rc == vantorel::host::kConsoleBadRequest);
  }
  for (size_t i = vantorel::host::kMaxReceiverName + 1; i < sizeof receiver; ++i) {
    FUZZ_CHECK(static_cast<unsigned char>(receiver[i]) == 0x55);
  }
  for (size_t i = vantorel::host::kMaxConsoleRequest + 1; i < sizeof command; ++i) {
    FUZZ_CHECK(static_cast<unsigned char>(command[i]) == 0x55);
  }
  return 0;
}
