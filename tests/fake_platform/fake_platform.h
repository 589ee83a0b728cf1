// Test platform: the declarations the library calls, and the host's console
// extras that tests use, with scripted answers, counted calls, sleeps that do
// not sleep, a settable clock and captured trace output. Every control lives
// in namespace `fake`.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "vantorel/host/host.h"
#include "vantorel/ipc.h"
#include "vantorel/osw.h"
#include "vantorel/ucom.h"

namespace fake {

struct call_counts {
  std::atomic<int> clock_reads{0};
  std::atomic<int> local_time_calls{0};
  std::atomic<int> sleeps{0};
  std::atomic<int> mutex_requests{0};
  std::atomic<int> mutex_releases{0};
  std::atomic<int> thread_guards{0};
  std::atomic<int> get_client_calls{0};
  std::atomic<int> check_calls{0};
  std::atomic<int> sends{0};
  std::atomic<int> registrations{0};
};

struct trace_line {
  unsigned int module;
  unsigned int category;
  int kind;
  std::string text;
};

struct sent_message {
  long flags;
  long msg_id;
  std::vector<unsigned char> request;
  unsigned int reply_capacity;
  std::string facade;
};

struct registration {
  vantorel::UCOM_UsrCommandReceiver* receiver;
  std::string name;
};

// Back to defaults: clock at 0, checks ready at once, client available,
// replies all zero bytes (a channel that writes nothing), records cleared.
void reset();

call_counts& calls();

// Clock and local time. Local time is gmtime of the clock's seconds, so a
// test picks the broken-down time with timegm().
void set_clock(uint32_t seconds, int32_t nanoseconds);
// When false, the clock and local-time calls leave their outputs untouched.
void set_time_fills(bool fills);

std::vector<unsigned long> sleep_arguments();
std::vector<trace_line> trace_lines();

// Readiness script: gets the 1-based number of the check, returns its answer.
void script_checks(std::function<long(int check_number)> answer);
void ready_at_check(int n);         // 0 before check n, then 1
void never_ready(long answer = 0);  // every check answers `answer`
void set_client_available(bool available);
vantorel::bmc_mc_client* client();  // the client bmc_mc_get_client gives when available

// Replies: the bytes written into the reply buffer (cut to its capacity).
// An empty reply writes nothing.
void set_reply(std::vector<unsigned char> bytes);
using reply_handler = std::function<void(long msg_id, const char* request, unsigned int length,
                                         char* reply, unsigned int capacity)>;
void set_reply_handler(reply_handler handler);
std::vector<sent_message> sent_messages();

// Console: what registered, and delivery to a named receiver.
std::vector<registration> registrations();
// The next registration throws std::bad_alloc instead of registering.
void fail_next_registration();

}  // namespace fake
