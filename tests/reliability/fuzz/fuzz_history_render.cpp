// Rendering the connection history from arbitrary record bytes, clocks,
// results and IDs: every text is printed up to its NUL or its array's end
// and never beyond, and the section keeps its sixteen lines per record.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "fuzz_check.h"
#include "history_text.h"
#include "log/connection_history.h"

namespace {

struct reader {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
  // Copies the next `n` bytes into `out`; missing bytes read as zero.
  void take(void* out, size_t n) {
    unsigned char* dst = static_cast<unsigned char*>(out);
    std::memset(dst, 0, n);
    const size_t have = pos < size ? (size - pos < n ? size - pos : n) : 0;
    if (have > 0) std::memcpy(dst, data + pos, have);
    pos += n;
  }
  bool more() const { return pos < size; }
};

template <size_t N>
std::string text_of(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

struct expected_record {
  std::string url, reg_path, unreg_path;
  int32_t result = 0, unreg_result = 0, is_terminated = 0, unreg_calls = 0;
};

std::string render(const vantorel::connection_history& history) {
  char* buffer = nullptr;
  size_t length = 0;
  FILE* file = open_memstream(&buffer, &length);
  FUZZ_CHECK(file != nullptr);
  history.render(file);
  std::fclose(file);
  std::string text(buffer, length);
  std::free(buffer);
  return text;
}

// Finds `piece` at or after `*at` and moves past it.
void expect_next(const std::string& text, size_t* at, const std::string& piece) {
  const size_t found = text.find(piece, *at);
  FUZZ_CHECK(found != std::string::npos);
  *at = found + piece.size();
}

void check_rendering(const std::string& text, const std::vector<expected_record>& records) {
  using history_text::field;
  const std::string header = history_text::section();
  FUZZ_CHECK(text.compare(0, header.size(), header) == 0);
  size_t at = header.size();
  for (const expected_record& r : records) {
    expect_next(text, &at, std::string(80, '-') + "\n[ID:");
    expect_next(text, &at,
                field("url", r.url) + field("url_length", std::to_string(r.url.size())) +
                    field("server_pathname", r.reg_path) +
                    field("server_pathname_length", std::to_string(r.reg_path.size())) +
                    field("Result", std::to_string(r.result), 8) + "\n    Unregist[");
    expect_next(text, &at,
                "CallNum:[" + std::to_string(r.unreg_calls) + "]\n        Parameter\n" +
                    field("server_pathname", r.unreg_path) +
                    field("server_pathname_length", std::to_string(r.unreg_path.size())) +
                    field("is_terminated", std::to_string(r.is_terminated)) +
                    field("Result", std::to_string(r.unreg_result), 8));
  }
  FUZZ_CHECK(at == text.size());
}

}  // namespace

// Input: 4 bytes of last ID, then operations: op % 3 == 0 appends (514
// record bytes, result, clock), 1 completes the newest (264 bytes, result,
// clock), 2 renders and checks.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  reader in{data, size};
  vantorel::connection_history history;
  uint32_t last_id = 0;
  in.take(&last_id, sizeof last_id);
  history.set_last_id(last_id);
  std::vector<expected_record> records;
  int ops = 0;
  while (in.more() && ops++ < 48) {
    uint8_t op = 0;
    in.take(&op, 1);
    uint32_t seconds = 0;
    int32_t nanoseconds = 0;
    int32_t result = 0;
    if (op % 3 == 0) {
      COMM_RMS_REGISTER_SERVER_INFO info;
      in.take(&info, sizeof info);
      in.take(&result, sizeof result);
      in.take(&seconds, sizeof seconds);
      in.take(&nanoseconds, sizeof nanoseconds);
      fake::set_clock(seconds, nanoseconds);
      history.append(info, result);
      expected_record r;
      r.url = text_of(info.url);
      r.reg_path = text_of(info.server_pathname);
      r.result = result;
      records.push_back(r);
    } else if (op % 3 == 1) {
      COMM_RMS_UNREGISTER_SERVER_INFO info;
      in.take(&info, sizeof info);
      in.take(&result, sizeof result);
      in.take(&seconds, sizeof seconds);
      in.take(&nanoseconds, sizeof nanoseconds);
      fake::set_clock(seconds, nanoseconds);
      history.complete(info, result);
      if (!records.empty()) {
        expected_record& r = records.back();
        r.unreg_path = text_of(info.server_pathname);
        r.is_terminated = info.is_terminated;
        r.unreg_result = result;
        ++r.unreg_calls;
      }
    } else {
      check_rendering(render(history), records);
    }
  }
  check_rendering(render(history), records);
  return 0;
}
