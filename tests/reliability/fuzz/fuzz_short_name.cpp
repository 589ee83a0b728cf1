// The short function name cut and the trace line built around it, for
// arbitrary signature texts: the cut must match a plain reading of the rule
// (the text between the last-but-one and the last "::" before the first
// "(", or everything before the "("), and the stored line must carry the
// name, a tab and the message whole.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "comm_rms/operation_log.h"
#include "fuzz_check.h"
#include "log/comm_rms_ucom_log.h"
#include "log/trace_format.h"

namespace {

std::string expected_short_name(const std::string& text) {
  const size_t paren = text.find('(');
  if (paren == std::string::npos) return text;
  const size_t inner = text.rfind("::", paren);
  if (inner == std::string::npos || inner == 0) return text.substr(0, paren);
  const size_t outer = text.rfind("::", inner - 1);
  if (outer == std::string::npos) return text.substr(0, paren);
  return text.substr(outer + 2, paren - (outer + 2));
}

}  // namespace

// Input: a signature text up to the first NUL; what follows it (if any) is
// the message.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  const size_t text_end = size == 0 ? 0 : strnlen(bytes, size);
  const std::string function(bytes, text_end);
  const std::string message =
      text_end < size ? std::string(bytes + text_end + 1, size - text_end - 1).substr(0, 64)
                      : std::string("m");

  size_t length = SIZE_MAX;
  const char* name = vantorel::comm_rms_short_function_name(function.c_str(), &length);
  const std::string expected =
      expected_short_name(function).substr(0, vantorel::COMM_RMS_SHORT_NAME_MAX);
  FUZZ_CHECK(name >= function.c_str() && name + length <= function.c_str() + function.size());
  FUZZ_CHECK(std::string(name, length) == expected);

  // The stored line of an information trace ends with the (possibly cut)
  // name, a tab and the message.
  const std::string clean_message = message.substr(0, strnlen(message.c_str(), message.size()));
  comm_rms_operation_log(1, 1, 7, function.c_str(), "%s", clean_message.c_str());
  vantorel::comm_rms_ucom_log* store = vantorel::comm_rms_ucom_log::get_instance();
  std::vector<unsigned char> entry;
  FUZZ_CHECK(store->pop_log(entry) == 0);
  FUZZ_CHECK(!entry.empty() && entry.back() == '\0');
  const std::string line(reinterpret_cast<const char*>(entry.data()));
  FUZZ_CHECK(line.size() + 1 == entry.size());
  const std::string tail = "[ INF][0007] " + expected + "\t" + clean_message;
  FUZZ_CHECK(line.size() >= tail.size());
  FUZZ_CHECK(line.compare(line.size() - tail.size(), tail.size(), tail) == 0);
  FUZZ_CHECK(store->pop_log(entry) != 0);
  return 0;
}
