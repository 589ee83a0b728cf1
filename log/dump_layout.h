// The dump file's text layout, written by the library and read back by
// `rmsctl show` and the tests: one place for every label, width and line.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace vantorel {
namespace dump_layout {

// A section opens with its title between two banner lines; each history
// record opens with a separator line.
constexpr char banner[] =
    "================================================================================";
constexpr char separator[] =
    "--------------------------------------------------------------------------------";
constexpr size_t rule_width = sizeof banner - 1;
constexpr char history_title[] = "Remote Panel Connect Information";
constexpr char log_title[] = "Operation log";
inline void write_heading(FILE* file, const char* title) {
  std::fprintf(file, "%s\n%s\n%s\n", banner, title, banner);
}

// A record's lines, in the order written: "[ID:%d]", "    Regist[time][thread]
// CallNum:[n]", "        Parameter", the register fields "<indent><label>:[value]",
// an empty line, "    Unregist[time][thread] CallNum:[n]", "        Parameter" and
// the unregister fields.
// clang-format off
enum line : int {
  id_line, regist_stamp, regist_params, url, url_length, regist_path, regist_path_length,
  regist_result, between, unregist_stamp, unregist_params, unregist_path,
  unregist_path_length, is_terminated, unregist_result, record_lines
};
// clang-format on

constexpr char id_open[] = "[ID:";
constexpr char parameter[] = "        Parameter";

// "<indent><word>[YYYY-MM-DD HH:MM:SS.uuuuuu][tttttttttt] CallNum:[n]"
#define COMM_RMS_STAMP_INDENT "    "
#define COMM_RMS_STAMP_MID "]["
#define COMM_RMS_STAMP_CALLS "] CallNum:["
constexpr char stamp_indent[] = COMM_RMS_STAMP_INDENT;
constexpr char stamp_mid[] = COMM_RMS_STAMP_MID;
constexpr char stamp_calls[] = COMM_RMS_STAMP_CALLS;
#define COMM_RMS_STAMP_FORMAT                                                       \
  COMM_RMS_STAMP_INDENT "%s[%04d-%02d-%02d %02d:%02d:%02d.%06ld" COMM_RMS_STAMP_MID \
                        "%010lu" COMM_RMS_STAMP_CALLS "%d]\n"
constexpr char regist_word[] = "Regist";
constexpr char unregist_word[] = "Unregist";
// The stamp of a part never filled: a zeroed struct tm, thread 0.
constexpr char zero_stamp[] = "1900-01-00 00:00:00.000000][0000000000";

// A field line: blanks, then the label padded so that the colon stands in
// column 36, then the value in brackets.
struct field {
  const char* label;
  int indent;
};
constexpr int colon_column = 36;
constexpr char field_open[] = ":[";

// The label of each field line of a record, by line; null for the others.
// clang-format off
constexpr field fields[record_lines] = {
    {nullptr, 0}, {nullptr, 0}, {nullptr, 0}, {"url", 12}, {"url_length", 12},
    {"server_pathname", 12}, {"server_pathname_length", 12}, {"Result", 8},
    {nullptr, 0}, {nullptr, 0}, {nullptr, 0}, {"server_pathname", 12},
    {"server_pathname_length", 12}, {"is_terminated", 12}, {"Result", 8}};
// clang-format on

// "<indent><label padded>:[" of field line `which`.
inline std::string field_prefix(int which) {
  std::string prefix(static_cast<size_t>(fields[which].indent), ' ');
  prefix.append(fields[which].label).resize(static_cast<size_t>(colon_column - 1), ' ');
  return prefix + field_open;
}

}  // namespace dump_layout
}  // namespace vantorel
