// Parsing of console socket requests: whatever a peer sends, the parser
// either refuses it or splits it into a receiver name and a command that
// together give back the request exactly, and writes nothing past either.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "internal/console_request.h"
#include "vantorel/host/host.h"

namespace {

namespace host = vantorel::host;

// A failed check aborts: libFuzzer and the corpus replay report the input.
void check(bool ok) {
  if (!ok) std::abort();
}

// The rule read plainly: printable bytes only, a non-empty receiver name of
// at most kMaxReceiverName bytes up to the first space, a non-empty command.
bool acceptable(const std::string& request) {
  const size_t space = request.find(' ');
  for (unsigned char c : request)
    if (c < 0x20 || c == 0x7F) return false;
  return request.size() <= host::kMaxConsoleRequest && space != std::string::npos && space > 0 &&
         space <= host::kMaxReceiverName && space + 1 < request.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string request(reinterpret_cast<const char*>(data), size);
  // Guard bytes behind both outputs catch a write past their size.
  char receiver[host::kMaxReceiverName + 1 + 8], command[host::kMaxConsoleRequest + 1 + 8];
  std::memset(receiver, 0x55, sizeof receiver);
  std::memset(command, 0x55, sizeof command);
  const int rc = host::parse_console_request(
      size == 0 ? nullptr : reinterpret_cast<const char*>(data), size, receiver, command);
  check(rc == (acceptable(request) ? 0 : host::kConsoleBadRequest));
  check(rc != 0 || std::string(receiver) + " " + command == request);
  check(std::string(receiver + host::kMaxReceiverName + 1, 8) == std::string(8, 0x55));
  check(std::string(command + host::kMaxConsoleRequest + 1, 8) == std::string(8, 0x55));
  return 0;
}
