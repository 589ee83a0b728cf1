// Test platform: the declarations the library calls, with scripted answers,
// counted calls, sleeps that do not sleep, a settable clock and captured
// trace output. Every control lives in namespace `fake`.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "vantorel/ipc.h"
#include "vantorel/osw.h"
#include "vantorel/ucom.h"

namespace fake {

struct call_counts {
  std::atomic<int> get_client_calls{0};
  std::atomic<int> check_calls{0};
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

// The clock. Local time is gmtime of the clock's seconds.
void set_clock(uint32_t seconds, int32_t nanoseconds);

std::vector<unsigned long> sleep_arguments();
std::vector<trace_line> trace_lines();

// Readiness: check number n (from 1) answers 0 before `n`, then 1; or every
// check answers `answer`.
void ready_at_check(int n);
void never_ready(long answer = 0);
void set_client_available(bool available);

// Replies: the bytes written into the reply buffer (cut to its capacity).
// An empty reply writes nothing.
void set_reply(std::vector<unsigned char> bytes);
std::vector<sent_message> sent_messages();

// Console: what registered. The next registration throws std::bad_alloc
// after fail_next_registration().
std::vector<registration> registrations();
void fail_next_registration();

// Creation of the library's singletons made slow: the client lookup and the
// console registration each sleep this long once they are counted.
void slow_creation(int milliseconds);

}  // namespace fake
