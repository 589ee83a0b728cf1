// The connection history rendered from arbitrary record bytes, results and
// IDs: every text is printed up to its NUL or its array's end and never
// beyond, and each record keeps its exact lines, time stamps and ID.
#include <pthread.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "history_text.h"
#include "log/connection_history.h"
#include "test_platform.h"

namespace {

// Copies the next `n` input bytes to `out` (missing ones read as zero).
void take(const uint8_t* data, size_t size, size_t* at, void* out, size_t n) {
  std::memset(out, 0, n);
  if (*at < size) std::memcpy(out, data + *at, size - *at < n ? size - *at : n);
  *at += n;
}

template <size_t N>
std::string text_of(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

}  // namespace

// Input: 4 bytes of the last ID given out, then operations of one byte each
// and their data: an even byte registers (514 record bytes, 4 result bytes),
// an odd one unregisters the newest (264 record bytes, 4 result bytes).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace history_text;
  fake::set_clock(1796375109u, 42153999);  // 2026-12-04 09:05:09 (UTC)
  char when[64];
  std::snprintf(when, sizeof when, "2026-12-04 09:05:09.042153][%010lu",
                static_cast<unsigned long>(pthread_self()));
  vantorel::connection_history history;
  std::string expected = section(), reg, unreg;
  size_t at = 0;
  uint32_t id = 0;
  take(data, size, &at, &id, sizeof id);
  history.set_last_id(id);
  for (int ops = 0, calls = 0; at < size && ops++ < 48;) {
    const uint8_t op = data[at++];
    int32_t result = 0;
    if (op % 2 == 0) {
      COMM_RMS_REGISTER_SERVER_INFO info;
      take(data, size, &at, &info, sizeof info);
      take(data, size, &at, &result, sizeof result);
      history.append(info, result);
      expected += reg + unreg;
      id = id == UINT32_MAX ? 1 : id + 1;  // 0 is never an ID
      reg = regist(std::to_string(static_cast<int32_t>(id)), when, text_of(info.url),
                   text_of(info.server_pathname), std::to_string(result));
      unreg = unregist(zero_stamp, calls = 0, "", 0, "0");
    } else {
      COMM_RMS_UNREGISTER_SERVER_INFO info;
      take(data, size, &at, &info, sizeof info);
      take(data, size, &at, &result, sizeof result);
      history.complete(info, result);
      if (reg.empty()) continue;
      unreg = unregist(when, ++calls, text_of(info.server_pathname), info.is_terminated,
                       std::to_string(result));
    }
  }
  char* text = nullptr;
  size_t length = 0;
  FILE* file = open_memstream(&text, &length);
  FUZZ_CHECK(file != nullptr);
  history.render(file);
  std::fclose(file);
  FUZZ_CHECK(std::string(text, length) == expected + reg + unreg);
  std::free(text);
  return 0;
}
