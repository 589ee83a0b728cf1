// Appending, completing and rendering the connection history.
#include "log/connection_history.h"

#include <pthread.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "log/cancellation_deferred.h"
#include "log/comm_rms_ucom_log.h"
#include "log/dump_layout.h"
#include "log/fork_guard.h"
#include "vantorel/osw.h"

namespace vantorel {

namespace {

// The process's history is never destroyed: a trace or request from
// another thread, an atexit handler or a static destructor while the
// process exits still finds its mutex and records intact. Constant-
// initialised, so static constructors may use it as well.
union never_destroyed {
  constexpr never_destroyed() noexcept : history() {}
  ~never_destroyed() {}  // leaves `history` alone
  connection_history history;
};
never_destroyed history_of_process;

// Reads the clock into a sub-second count and the broken-down local time.
void stamp(struct tm* when, long* nsec) {
  OSW_CLOCK clock{0, 0};
  emwOSWGetClock(&clock);
  *nsec = clock.nanoseconds;
  const time_t seconds = static_cast<time_t>(clock.seconds);
  emwCLBLocalTime_r(&seconds, when);
}

// Length of a text that may fill its whole array without a NUL.
template <size_t N>
int text_length(const char (&text)[N]) {
  return static_cast<int>(strnlen(text, N));
}

namespace layout = dump_layout;

void render_time(FILE* file, const char* word, const struct tm& when, long nsec,
                 unsigned long thread, int32_t call_num) {
  std::fprintf(file, COMM_RMS_STAMP_FORMAT, word, when.tm_year + 1900, when.tm_mon + 1,
               when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec, nsec / 1000, thread,
               static_cast<int>(call_num));
}

// What each record line's value is written with, after its opening.
constexpr const char* kConversion[layout::record_lines] = {
    "%d]\n", "", "\n", "%.*s]\n", "%d]\n", "%.*s]\n", "%d]\n", "%ld]\n",
    "\n",    "", "\n", "%.*s]\n", "%d]\n", "%d]\n",   "%ld]\n"};

// The format of record line `which`, made once from the layout (and never
// freed: a rendering may come from an exit handler). Made formats, rather
// than the openings printed as values, keep a record's rendering as fast as
// with literal ones.
const char* format_of(layout::line which) {
  static const std::vector<std::string>* const all = [] {
    auto* made = new std::vector<std::string>;
    for (int i = 0; i < layout::record_lines; ++i) {
      const bool params = i == layout::regist_params || i == layout::unregist_params;
      made->push_back((i == layout::id_line
                           ? layout::separator + std::string("\n") + layout::id_open
                       : layout::fields[i].label != nullptr ? layout::field_prefix(i)
                       : params                             ? layout::parameter
                                                            : "") +
                      kConversion[i]);
    }
    return made;
  }();
  return (*all)[which].c_str();
}

template <typename... Value>
void render_line(FILE* file, layout::line which, Value... value) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
  std::fprintf(file, format_of(which), value...);
#pragma GCC diagnostic pop
}

// A text field and its length line; the text may fill its whole array.
template <size_t N>
void render_text(FILE* file, layout::line which, const char (&text)[N]) {
  const int length = text_length(text);
  render_line(file, which, length, text);
  render_line(file, static_cast<layout::line>(which + 1), length);
}

void render_record(FILE* file, const COMM_RMS_CONNECT_INFO_LOG& r) {
  render_line(file, layout::id_line, static_cast<int>(r.id));
  render_time(file, layout::regist_word, r.regist_time, r.regist_nsec, r.regist_thread_id,
              r.regist_call_num);
  render_line(file, layout::regist_params);
  render_text(file, layout::url, r.regist_info.url);
  render_text(file, layout::regist_path, r.regist_info.server_pathname);
  render_line(file, layout::regist_result, static_cast<long>(r.regist_result));
  render_line(file, layout::between);
  render_time(file, layout::unregist_word, r.unregist_time, r.unregist_nsec, r.unregist_thread_id,
              r.unregist_call_num);
  render_line(file, layout::unregist_params);
  render_text(file, layout::unregist_path, r.unregist_info.server_pathname);
  render_line(file, layout::is_terminated, static_cast<int>(r.unregist_info.is_terminated));
  render_line(file, layout::unregist_result, static_cast<long>(r.unregist_result));
}

}  // namespace

connection_history::~connection_history() {
  delete records_;
}

connection_history& connection_history::process_wide() {
  return history_of_process.history;
}

void connection_history::set_last_id(uint32_t id) {
  std::lock_guard<std::mutex> lock(mtx_);
  last_id_ = id;
}

// A record is written under the lock by the caller's thread: the fork guard
// must know the lock, and a cancellation waits until the record is whole.
void connection_history::append(const COMM_RMS_REGISTER_SERVER_INFO& info, RETCODE result) {
  fork_guard::install();
  const cancellation_deferred whole_record;
  std::lock_guard<std::mutex> lock(mtx_);
  last_id_ = (last_id_ == UINT32_MAX) ? 1 : last_id_ + 1;

  // Made zeroed in place and filled there: no copy of a whole record.
  if (records_ == nullptr) records_ = new std::deque<COMM_RMS_CONNECT_INFO_LOG>;
  COMM_RMS_CONNECT_INFO_LOG& record = records_->emplace_back();
  record.id = last_id_;
  stamp(&record.regist_time, &record.regist_nsec);
  record.regist_thread_id = static_cast<unsigned long>(pthread_self());
  std::memcpy(&record.regist_info, &info, sizeof record.regist_info);
  record.regist_call_num = 1;
  record.regist_result = result;
}

void connection_history::complete(const COMM_RMS_UNREGISTER_SERVER_INFO& info, RETCODE result) {
  fork_guard::install();
  const cancellation_deferred whole_record;
  std::lock_guard<std::mutex> lock(mtx_);
  if (records_ == nullptr || records_->empty()) return;
  COMM_RMS_CONNECT_INFO_LOG& newest = records_->back();
  stamp(&newest.unregist_time, &newest.unregist_nsec);
  newest.unregist_thread_id = static_cast<unsigned long>(pthread_self());
  std::memcpy(&newest.unregist_info, &info, sizeof newest.unregist_info);
  ++newest.unregist_call_num;
  newest.unregist_result = result;
}

void connection_history::render(FILE* file) const {
  std::lock_guard<std::mutex> lock(mtx_);
  dump_layout::write_heading(file, dump_layout::history_title);
  if (records_ == nullptr) return;
  for (const COMM_RMS_CONNECT_INFO_LOG& record : *records_) render_record(file, record);
}

void comm_rms_ucom_log::output_information_log_(FILE* file) {
  connection_history::process_wide().render(file);
}

}  // namespace vantorel

extern "C" void comm_rms_register_server_log(COMM_RMS_REGISTER_SERVER_INFO info, RETCODE result) {
  vantorel::connection_history::process_wide().append(info, result);
}

extern "C" void comm_rms_unregister_server_log(COMM_RMS_UNREGISTER_SERVER_INFO info,
                                               RETCODE result) {
  vantorel::connection_history::process_wide().complete(info, result);
}
