#include "test_platform.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <thread>

namespace fake {
namespace {

struct state {
  std::mutex mutex;
  uint32_t seconds = 0;
  int32_t nanoseconds = 0;
  std::vector<unsigned long> sleeps;
  std::vector<trace_line> trace;
  std::function<long(int)> check = [](int) { return 1L; };
  bool client_available = true;
  std::vector<unsigned char> reply;
  std::vector<sent_message> sent;
  std::vector<registration> registrations;
  bool fail_registration = false;
  int creation_delay_ms = 0;
};

state& st() {
  static state* s = new state;  // outlives every static of the code under test
  return *s;
}

// Outside the state's lock: a fork or a cancellation meanwhile finds it free.
void creation_delay() {
  int delay = 0;
  {
    std::lock_guard<std::mutex> lock(st().mutex);
    delay = st().creation_delay_ms;
  }
  if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
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
    s.sleeps.clear();
    s.trace.clear();
    s.check = [](int) { return 1L; };
    s.client_available = true;
    s.reply.clear();
    s.sent.clear();
    s.registrations.clear();
    s.fail_registration = false;
    s.creation_delay_ms = 0;
  }
  calls().get_client_calls = 0;
  calls().check_calls = 0;
}

void set_clock(uint32_t seconds, int32_t nanoseconds) {
  std::lock_guard<std::mutex> lock(st().mutex);
  st().seconds = seconds;
  st().nanoseconds = nanoseconds;
}

std::vector<unsigned long> sleep_arguments() {
  std::lock_guard<std::mutex> lock(st().mutex);
  return st().sleeps;
}

std::vector<trace_line> trace_lines() {
  std::lock_guard<std::mutex> lock(st().mutex);
  return st().trace;
}

void ready_at_check(int n) {
  std::lock_guard<std::mutex> lock(st().mutex);
  st().check = [n](int check) { return check >= n ? 1L : 0L; };
}

void never_ready(long answer) {
  std::lock_guard<std::mutex> lock(st().mutex);
  st().check = [answer](int) { return answer; };
}

void set_client_available(bool available) {
  std::lock_guard<std::mutex> lock(st().mutex);
  st().client_available = available;
}

void set_reply(std::vector<unsigned char> bytes) {
  std::lock_guard<std::mutex> lock(st().mutex);
  st().reply = std::move(bytes);
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

void slow_creation(int milliseconds) {
  std::lock_guard<std::mutex> lock(st().mutex);
  st().creation_delay_ms = milliseconds;
}

}  // namespace fake

// ---- OS wrapper -----------------------------------------------------------

int emwOSWSleep(unsigned long milliseconds) {
  std::lock_guard<std::mutex> lock(fake::st().mutex);
  fake::st().sleeps.push_back(milliseconds);
  return 0;
}

int emwOSWGetClock(OSW_CLOCK* clock) {
  std::lock_guard<std::mutex> lock(fake::st().mutex);
  clock->seconds = fake::st().seconds;
  clock->nanoseconds = fake::st().nanoseconds;
  return 0;
}

int emwCLBLocalTime_r(const time_t* seconds, struct tm* result) {
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
  fake::creation_delay();
  std::lock_guard<std::mutex> lock(fake::st().mutex);
  return fake::st().client_available ? &fake::the_client : nullptr;
}

// The library asks without flags; a check with any is answered "not ready".
long bmc_mc_client::bmc_mc_check_facade(const char* /*facade_name*/, long flags) {
  const int n = ++fake::calls().check_calls;
  std::function<long(int)> check;
  {
    std::lock_guard<std::mutex> lock(fake::st().mutex);
    check = fake::st().check;
  }
  return flags == 0 ? check(n) : 0;
}

long bmc_mc_client::bmc_mc_send_sync_message(long flags, long msg_id, char* request,
                                             unsigned int request_length, char* reply,
                                             unsigned int* reply_capacity,
                                             const char* facade_name) {
  std::lock_guard<std::mutex> lock(fake::st().mutex);
  const unsigned char* sent = reinterpret_cast<unsigned char*>(request);
  fake::st().sent.push_back(
      fake::sent_message{flags, msg_id, std::vector<unsigned char>(sent, sent + request_length),
                         *reply_capacity, facade_name});
  const std::vector<unsigned char>& bytes = fake::st().reply;
  if (!bytes.empty())
    std::memcpy(reply, bytes.data(), std::min<size_t>(bytes.size(), *reply_capacity));
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
  {
    std::lock_guard<std::mutex> lock(fake::st().mutex);
    if (fake::st().fail_registration) {
      fake::st().fail_registration = false;
      throw std::bad_alloc();
    }
    fake::st().registrations.push_back(fake::registration{receiver, name});
  }
  fake::creation_delay();
  return 0;
}

}  // namespace vantorel
