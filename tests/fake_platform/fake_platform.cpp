#include "fake_platform.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "vantorel/ring_buffer.h"

namespace fake {
namespace {

struct state {
  std::mutex mutex;
  uint32_t seconds = 0;
  int32_t nanoseconds = 0;
  bool time_fills = true;
  std::vector<unsigned long> sleeps;
  std::vector<trace_line> trace;
  std::function<long(int)> check = [](int) { return 1L; };
  bool client_available = true;
  reply_handler reply;
  std::vector<sent_message> sent;
  std::vector<registration> registrations;
  bool fail_registration = false;
};

state& st() {
  static state* s = new state;  // outlives every static of the code under test
  return *s;
}

void write_bytes(const std::vector<unsigned char>& bytes, char* reply, unsigned int capacity) {
  const size_t n = bytes.size() < capacity ? bytes.size() : capacity;
  if (n != 0) std::memcpy(reply, bytes.data(), n);
}

class fake_client final : public vantorel::bmc_mc_client {};
fake_client the_client;

class fake_console final : public vantorel::UCOM_UsrCommandManager {};
fake_console the_console;

}  // namespace

call_counts& calls() {
  static call_counts* c = new call_counts;
  return *c;
}

void reset() {
  {
    std::lock_guard<std::mutex> lock(st().mutex);
    state& s = st();
    s.seconds = 0;
    s.nanoseconds = 0;
    s.time_fills = true;
    s.sleeps.clear();
    s.trace.clear();
    s.check = [](int) { return 1L; };
    s.client_available = true;
    s.reply = nullptr;
    s.sent.clear();
    s.registrations.clear();
    s.fail_registration = false;
  }
  call_counts& c = calls();
  c.clock_reads = 0;
  c.local_time_calls = 0;
  c.sleeps = 0;
  c.mutex_requests = 0;
  c.mutex_releases = 0;
  c.thread_guards = 0;
  c.get_client_calls = 0;
  c.check_calls = 0;
  c.sends = 0;
  c.registrations = 0;
}

void set_clock(uint32_t seconds, int32_t nanoseconds) {
  std::lock_guard<std::mutex> lock(st().mutex);
  st().seconds = seconds;
  st().nanoseconds = nanoseconds;
}

void set_time_fills(bool fills) {
  std::lock_guard<std::mutex> lock(st().mutex);
  st().time_fills = fills;
}

std::vector<unsigned long> sleep_arguments() {
  std::lock_guard<std::mutex> lock(st().mutex);
  return st().sleeps;
}

std::vector<trace_line> trace_lines() {
  std::lock_guard<std::mutex> lock(st().mutex);
  return st().trace;
}

void script_checks(std::function<long(int)> answer) {
  std::lock_guard<std::mutex> lock(st().mutex);
  st().check = std::move(answer);
}

void ready_at_check(int n) {
  script_checks([n](int check) { return check >= n ? 1L : 0L; });
}

void never_ready(long answer) {
  script_checks([answer](int) { return answer; });
}

void set_client_available(bool available) {
  std::lock_guard<std::mutex> lock(st().mutex);
  st().client_available = available;
}

vantorel::bmc_mc_client* client() {
  return &the_client;
}

void set_reply(std::vector<unsigned char> bytes) {
  set_reply_handler(
      [bytes = std::move(bytes)](long, const char*, unsigned int, char* reply,
                                 unsigned int capacity) { write_bytes(bytes, reply, capacity); });
}

void set_reply_handler(reply_handler handler) {
  std::lock_guard<std::mutex> lock(st().mutex);
  st().reply = std::move(handler);
}

std::vector<sent_message> sent_messages() {
  std::lock_guard<std::mutex> lock(st().mutex);
  return st().sent;
}

std::vector<registration> registrations() {
  std::lock_guard<std::mutex> lock(st().mutex);
  return st().registrations;
}

void fail_next_registration() {
  std::lock_guard<std::mutex> lock(st().mutex);
  st().fail_registration = true;
}

}  // namespace fake

// ---- OS wrapper -----------------------------------------------------------

OSW_Mutex_Semaphore::OSW_Mutex_Semaphore(int /*count*/) noexcept {
  pthread_mutex_init(&mutex_, nullptr);
}

OSW_Mutex_Semaphore::~OSW_Mutex_Semaphore() {
  pthread_mutex_destroy(&mutex_);
}

int OSW_Mutex_Semaphore::request(unsigned long /*timeout_ms*/) noexcept {
  ++fake::calls().mutex_requests;
  return pthread_mutex_lock(&mutex_);
}

int OSW_Mutex_Semaphore::release() noexcept {
  ++fake::calls().mutex_releases;
  return pthread_mutex_unlock(&mutex_);
}

OSW_Guard::OSW_Guard(OSW_Mutex_Semaphore& mutex) noexcept
    : mutex_(mutex), locked_(mutex.request(OSW_WAIT_FOREVER) == 0) {}

OSW_Guard::~OSW_Guard() {
  if (locked_) mutex_.release();
}

bool OSW_Guard::locked() const noexcept {
  return locked_;
}

namespace {
pthread_mutex_t process_lock = PTHREAD_MUTEX_INITIALIZER;
}  // namespace

OSW_Thread_Guard::OSW_Thread_Guard() noexcept {
  ++fake::calls().thread_guards;
  pthread_mutex_lock(&process_lock);
}

OSW_Thread_Guard::~OSW_Thread_Guard() {
  pthread_mutex_unlock(&process_lock);
}

int emwOSWSleep(unsigned long milliseconds) {
  ++fake::calls().sleeps;
  std::lock_guard<std::mutex> lock(fake::st().mutex);
  fake::st().sleeps.push_back(milliseconds);
  return 0;
}

int emwOSWGetClock(OSW_CLOCK* clock) {
  ++fake::calls().clock_reads;
  std::lock_guard<std::mutex> lock(fake::st().mutex);
  if (fake::st().time_fills) {
    clock->seconds = fake::st().seconds;
    clock->nanoseconds = fake::st().nanoseconds;
  }
  return 0;
}

int emwCLBLocalTime_r(const time_t* seconds, struct tm* result) {
  ++fake::calls().local_time_calls;
  {
    std::lock_guard<std::mutex> lock(fake::st().mutex);
    if (!fake::st().time_fills) return 0;
  }
  return gmtime_r(seconds, result) != nullptr ? 0 : -1;
}

int emwGENTrcPrintf(unsigned int module, unsigned int category, int kind, const char* format, ...) {
  char line[4096];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(fake::st().mutex);
  fake::st().trace.push_back(fake::trace_line{module, category, kind, line});
  return 0;
}

// ---- Message channel ------------------------------------------------------

namespace vantorel {

bmc_mc_client* bmc_mc_client::bmc_mc_get_client(const char* /*facade_name*/) {
  ++fake::calls().get_client_calls;
  std::lock_guard<std::mutex> lock(fake::st().mutex);
  return fake::st().client_available ? &fake::the_client : nullptr;
}

long bmc_mc_client::bmc_mc_check_facade(const char* /*facade_name*/, long /*flags*/) {
  const int n = ++fake::calls().check_calls;
  std::function<long(int)> check;
  {
    std::lock_guard<std::mutex> lock(fake::st().mutex);
    check = fake::st().check;
  }
  return check(n);
}

long bmc_mc_client::bmc_mc_send_sync_message(long flags, long msg_id, char* request,
                                             unsigned int request_length, char* reply,
                                             unsigned int* reply_capacity,
                                             const char* facade_name) {
  ++fake::calls().sends;
  fake::reply_handler handler;
  {
    std::lock_guard<std::mutex> lock(fake::st().mutex);
    fake::st().sent.push_back(fake::sent_message{
        flags, msg_id,
        std::vector<unsigned char>(reinterpret_cast<unsigned char*>(request),
                                   reinterpret_cast<unsigned char*>(request) + request_length),
        *reply_capacity, facade_name});
    handler = fake::st().reply;
  }
  if (handler) handler(msg_id, request, request_length, reply, *reply_capacity);
  return 0;
}

facade_template::facade_template() = default;
facade_template::~facade_template() = default;

// ---- Debug console --------------------------------------------------------

UCOM_UsrCommandManager* UCOM_UsrCommandManager::ucom_instance() {
  return &fake::the_console;
}

int UCOM_UsrCommandManager::ucom_add_usr_command(UCOM_UsrCommandReceiver* receiver,
                                                 const char* name) {
  std::lock_guard<std::mutex> lock(fake::st().mutex);
  if (fake::st().fail_registration) {
    fake::st().fail_registration = false;
    throw std::bad_alloc();
  }
  ++fake::calls().registrations;
  fake::st().registrations.push_back(fake::registration{receiver, name});
  return 0;
}

int host::ucom_withdraw(UCOM_UsrCommandReceiver* receiver) {
  std::lock_guard<std::mutex> lock(fake::st().mutex);
  auto& regs = fake::st().registrations;
  const size_t before = regs.size();
  for (auto it = regs.begin(); it != regs.end();) {
    it = (it->receiver == receiver) ? regs.erase(it) : it + 1;
  }
  return regs.size() != before ? 0 : -1;
}

int host::ucom_deliver(const char* name, const char* command) {
  UCOM_UsrCommandReceiver* target = nullptr;
  {
    std::lock_guard<std::mutex> lock(fake::st().mutex);
    for (auto& r : fake::st().registrations) {
      if (r.name == name) target = r.receiver;
    }
  }
  if (target == nullptr) return UCOM_NO_RECEIVER;
  std::string text(command);
  return target->ucom_usr_command(&text[0]);
}

}  // namespace vantorel
