// Parsing of console socket requests: whatever a peer sends, the parser
// either refuses it or splits it into a receiver name and a command that
// together give back the request exactly, and writes nothing past either.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "internal/console_request.h"
#include "vantorel/host/host.h"

namespace {

namespace host = vantorel::host;

// A failed check aborts: libFuzzer and the corpus replay report the input.
#define CHECK(ok) ((ok) ? void() : std::abort())

// The rule read plainly: printable bytes only, a non-empty receiver name of
// at most kMaxReceiverName bytes up to the first space, a non-empty command.
bool acceptable(const std::string& request) {
  const size_t space = request.find(' ');  // npos, and 0 too, wrap to above the bound
  const auto control = [](unsigned char c) { return c < 0x20 || c == 0x7F; };
  return std::none_of(request.begin(), request.end(), control) &&
         request.size() <= host::kMaxConsoleRequest && space - 1 < host::kMaxReceiverName &&
         space + 1 < request.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string request(reinterpret_cast<const char*>(data), size);
  // Guard bytes behind both outputs catch a write past their size; the
  // parser gets the input alone, so that a read past it is seen.
  std::string receiver(host::kMaxReceiverName + 1 + 8, 0x55),
      command(host::kMaxConsoleRequest + 1 + 8, 0x55);
  const int rc =
      host::parse_console_request(size == 0 ? nullptr : reinterpret_cast<const char*>(data), size,
                                  receiver.data(), command.data());
  CHECK(rc == (acceptable(request) ? 0 : host::kConsoleBadRequest));
  CHECK(rc != 0 || std::string(receiver.c_str()) + " " + command.c_str() == request);
  CHECK(receiver.substr(host::kMaxReceiverName + 1) +
            command.substr(host::kMaxConsoleRequest + 1) ==
        std::string(16, 0x55));
  return 0;
}
