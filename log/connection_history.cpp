// Appending, completing and rendering the connection history.
#include "log/connection_history.h"

#include <pthread.h>

#include <cstring>
#include <ctime>

#include "log/cancellation_deferred.h"
#include "log/comm_rms_ucom_log.h"
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

void render_time(FILE* file, const char* label, const struct tm& when, long nsec,
                 unsigned long thread, int32_t call_num) {
  std::fprintf(file, "    %s[%04d-%02d-%02d %02d:%02d:%02d.%06ld][%010lu] CallNum:[%d]\n", label,
               when.tm_year + 1900, when.tm_mon + 1, when.tm_mday, when.tm_hour, when.tm_min,
               when.tm_sec, nsec / 1000, thread, static_cast<int>(call_num));
}

void render_record(FILE* file, const COMM_RMS_CONNECT_INFO_LOG& r) {
  std::fputs("--------------------------------------------------------------------------------\n",
             file);
  std::fprintf(file, "[ID:%d]\n", static_cast<int>(r.id));
  render_time(file, "Regist", r.regist_time, r.regist_nsec, r.regist_thread_id, r.regist_call_num);
  const int url_length = text_length(r.regist_info.url);
  const int reg_path_length = text_length(r.regist_info.server_pathname);
  std::fputs("        Parameter\n", file);
  std::fprintf(file, "            url                    :[%.*s]\n", url_length, r.regist_info.url);
  std::fprintf(file, "            url_length             :[%d]\n", url_length);
  std::fprintf(file, "            server_pathname        :[%.*s]\n", reg_path_length,
               r.regist_info.server_pathname);
  std::fprintf(file, "            server_pathname_length :[%d]\n", reg_path_length);
  std::fprintf(file, "        Result                     :[%ld]\n",
               static_cast<long>(r.regist_result));
  std::fputs("\n", file);
  render_time(file, "Unregist", r.unregist_time, r.unregist_nsec, r.unregist_thread_id,
              r.unregist_call_num);
  const int unreg_path_length = text_length(r.unregist_info.server_pathname);
  std::fputs("        Parameter\n", file);
  std::fprintf(file, "            server_pathname        :[%.*s]\n", unreg_path_length,
               r.unregist_info.server_pathname);
  std::fprintf(file, "            server_pathname_length :[%d]\n", unreg_path_length);
  std::fprintf(file, "            is_terminated          :[%d]\n",
               static_cast<int>(r.unregist_info.is_terminated));
  std::fprintf(file, "        Result                     :[%ld]\n",
               static_cast<long>(r.unregist_result));
}

const char kBanner[] =
    "================================================================================";

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
  std::fprintf(file, "%s\n", kBanner);
  std::fprintf(file, "%s\n", "Remote Panel Connect Information");
  std::fprintf(file, "%s\n", kBanner);
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
