// platform_conformance: checks a platform library against what comm_rms
// relies on, one row per operation and case: "ok", "FAILED: what was seen"
// or "skipped: why", then a summary line. Exits 0 only when no row failed.
//
//   platform_conformance [--facade NAME] [--trace-to-stderr] [--only TEXT]
//
// Against the host platform it serves a facade of its own and delivers
// console commands itself; against a device's platform it talks to the
// service named by --facade (f_comm_rms) and skips, saying why, what would
// need a facade or a console delivery of its own.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "comm_rms/debug_dump.h"
#include "comm_rms/operation_log.h"
#include "comm_rms/service_protocol.h"
#include "log/comm_rms_ucom_log.h"
#include "test_support.h"  // its header-only waits: nothing to link on a device
#include "vantorel/ipc.h"
#include "vantorel/osw.h"
#include "vantorel/ring_buffer.h"
#include "vantorel/ucom.h"
#if COMM_RMS_CONFORMANCE_HOST
#include "served_facade.h"
#endif

namespace {

using vantorel::bmc_mc_client;
using steady = std::chrono::steady_clock;

// "" when the row passed, "skip: why" when it could not be checked, else
// what was seen.
using verdict = std::string;
verdict skip(const char* why) {
  return std::string("skip: ") + why;
}
__attribute__((format(printf, 2, 3))) verdict check(bool passed, const char* format, ...) {
  if (passed) return "";
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}
#define EXPECT(condition, ...) \
  if (!(condition)) return check(false, __VA_ARGS__)

struct {
  std::string facade;  // what the channel rows talk to
  bool own_facade = false;
  bool trace_to_stderr = COMM_RMS_CONFORMANCE_HOST;
} options;

long ms_since(steady::time_point begin) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - begin).count();
}
void pause_ms(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// ---- OS wrapper ------------------------------------------------------------

OSW_Mutex_Semaphore shared_mutex(1);

// Takes the lock `kind` names (0: the mutex, 1: a guard on it, 2: the
// process-wide guard) until the result is let go.
std::shared_ptr<void> take(int kind) {
  if (kind == 1) return std::make_shared<OSW_Guard>(shared_mutex);
  if (kind == 2) return std::make_shared<OSW_Thread_Guard>();
  shared_mutex.request(OSW_WAIT_FOREVER);
  return std::shared_ptr<void>(nullptr, [](void*) { shared_mutex.release(); });
}

// While this thread holds the lock and makes the calls the library makes
// under one, another thread's take must wait until it is given back.
verdict excludes(int kind) {
  std::shared_ptr<void> held = take(kind);
  std::atomic<bool> entered{false};
  std::thread other([&] { take(kind), entered = true; });
  OSW_CLOCK now{};
  emwOSWGetClock(&now);
  emwOSWSleep(10);
  pause_ms(100);
  const bool early = entered;
  held.reset();
  other.join();  // one never given back ends in the watchdog's report
  return check(!early, "another thread took it while this one held it");
}

// The library passes 300 and means a pause between readiness checks;
// signals to the sleeping thread must not cut it short, nor one near a
// whole second (999: every millisecond of it lies below the second).
verdict sleeps(int ms, bool signalled) {
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigaction(SIGUSR2, &action, nullptr);
  std::atomic<bool> done{false};
  std::thread signaller([&, sleeper = pthread_self()] {
    for (; signalled && !done; pause_ms(10)) pthread_kill(sleeper, SIGUSR2);
  });
  const auto begin = steady::now();
  emwOSWSleep(ms);
  const long took = ms_since(begin);
  done = true;
  signaller.join();
  return check(took >= ms * 9 / 10 && took < ms + 5000, "emwOSWSleep(%d): %ld ms", ms, took);
}

// Seconds as time(), nanoseconds in range on every read, and the two words
// advance with the 50 pauses of at least 1 ms between the first and last.
verdict clock_words() {
  OSW_CLOCK first{}, last{};
  emwOSWGetClock(&first);
  const long long now = time(nullptr), seconds = first.seconds;
  EXPECT(seconds >= now - 1 && seconds <= now + 1, "seconds %lld, time() %lld", seconds, now);
  for (int i = 0; i <= 50; ++i, pause_ms(1)) {
    emwOSWGetClock(&last);
    EXPECT(last.nanoseconds >= 0 && last.nanoseconds < 1000000000, "ns %d", int(last.nanoseconds));
  }
  const long long advanced = (static_cast<long long>(last.seconds) - first.seconds) * 1000 +
                             (last.nanoseconds - first.nanoseconds) / 1000000;
  return check(advanced >= 45 && advanced < 5000, "50 pauses of 1 ms: %lld ms", advanced);
}

// Against localtime_r in this process's zone (main sets one 8:45 east of
// UTC when TZ is unset, so that UTC cannot pass for it).
verdict local_time() {
  for (const time_t seconds : {time_t{0}, time_t{951782400}, time(nullptr), time_t{0x7FFFFFFF}}) {
    tm got{}, want{};
    char a[64], b[64];
    emwCLBLocalTime_r(&seconds, &got);
    std::strftime(a, sizeof a, "%Y-%m-%d %H:%M:%S", &got);
    std::strftime(b, sizeof b, "%Y-%m-%d %H:%M:%S", localtime_r(&seconds, &want));
    EXPECT(std::strcmp(a, b) == 0, "%s, not %s (TZ %s)", a, b, std::getenv("TZ"));
  }
  return "";
}

// What the trace output wrote for `lines` when it is standard error.
std::string traced(const std::vector<std::string>& lines) {
  FILE* file = std::tmpfile();
  const int saved = dup(STDERR_FILENO);
  if (file == nullptr || saved < 0) return "(no temporary file to take standard error)";
  dup2(fileno(file), STDERR_FILENO);
  for (const std::string& line : lines)
    emwGENTrcPrintf(COMM_RMS_TRACE_MODULE, COMM_RMS_TRACE_CATEGORY, 0, "%s", line.c_str());
  dup2(saved, STDERR_FILENO);
  close(saved);
  std::string text(static_cast<size_t>(std::ftell(file)), '\0');
  text.resize(
      static_cast<size_t>(std::max<ssize_t>(pread(fileno(file), &text[0], text.size(), 0), 0)));
  std::fclose(file);
  return text;
}

// The library prints "<tag> <short name>\t<message>\n", the message at most
// 1278 characters.
verdict trace_lines() {
  if (!options.trace_to_stderr) return skip("the trace output is not standard error here");
  const std::string head = "[@ERR] comm_rms_facade::initial\t", a = head + "mc_client_ is null.\n",
                    b = head + std::string(1278, 'm') + "\n", text = traced({a, b});
  return check(text == a + b, "two calls wrote %zu bytes: \"%.60s\"", text.size(), text.c_str());
}

// ---- Message channel ---------------------------------------------------------

const char kAbsent[] = "f_conformance_nobody_serves_this";

#if COMM_RMS_CONFORMANCE_HOST
namespace host = vantorel::host;
using test_support::kEcho;
using test_support::kLater;
using test_support::served;
using test_support::test_facade;

std::string own_name(const char* what) {
  return std::string("f_conformance_") + what + "." + std::to_string(getpid());
}
#else
constexpr long kEcho = 1;  // asked only of a facade of the suite's own
#endif

long exchange(bmc_mc_client* client, long msg_id, const std::string& request, char* reply,
              unsigned int capacity) {
  return client->bmc_mc_send_sync_message(0, msg_id, const_cast<char*>(request.data()),
                                          static_cast<unsigned int>(request.size()), reply,
                                          &capacity, options.facade.c_str());
}

int32_t first_word(const char* reply) {
  int32_t word;
  std::memcpy(&word, reply, sizeof word);
  return word;
}

// One exchange as the library makes them: an echo of `size` bytes from the
// suite's own facade, else the service's status query. "" when the reply
// is whole and nothing past the capacity was written, else what was wrong.
std::string ask(bmc_mc_client* client, unsigned int size, unsigned seed) {
  namespace protocol = vantorel::service_protocol;
  std::string request(protocol::get_rfb_status.request_length, '\0');
  unsigned int capacity = protocol::get_rfb_status.reply_capacity;
  if (options.own_facade) {
    request.resize(capacity = size);
    for (unsigned int i = 0; i < size; ++i) request[i] = static_cast<char>(seed * 31 + i * 7);
  }
  std::string reply(capacity + 16, 'Z');
  exchange(client, options.own_facade ? kEcho : protocol::get_rfb_status.id, request, &reply[0],
           capacity);
  if (first_word(reply.data()) == BMC_MC_CHANNEL_FAILURE) return "the channel failure word";
  if (reply.compare(capacity, 16, std::string(16, 'Z')) != 0) return "bytes past the capacity";
  if (options.own_facade && reply.compare(0, size, request) != 0) return "not the request echoed";
  return first_word(reply.data()) == 0x5A5A5A5A ? "no result word" : "";
}

verdict needs(bool own) {
  if (options.facade.empty()) return skip("no facade to talk to: run with --facade f_comm_rms");
  return own && !options.own_facade
             ? skip("needs a facade of the suite's own, which only the host platform serves")
             : "";
}

verdict ready_is(const std::string& name, bool ready) {
  const long answer = bmc_mc_client::bmc_mc_check_facade(name.c_str(), 0);
  return check((answer == 1) == ready, "%ld for \"%s\"", answer, name.c_str());
}
// A lookup gives a client, and readiness is exactly 1, for the served
// facade; neither for a name nobody serves.
verdict lookup(const std::string& name, bool served) {
  const bool found = bmc_mc_client::bmc_mc_get_client(name.c_str());
  return check(found == served, served ? "null" : "a client");
}

verdict copies_reply() {
  bmc_mc_client* client = bmc_mc_client::bmc_mc_get_client(options.facade.c_str());
  EXPECT(client != nullptr, "no client");
  for (const unsigned int size : {1u, 4u, 268u, 514u}) {
    const std::string wrong = ask(client, size, size);
    EXPECT(wrong.empty(), "a %u-byte exchange: %s", size, wrong.c_str());
  }
  // A reply longer than the buffer: cut at its capacity (or failed).
  std::string reply(16, 'Z');
  if (options.own_facade) exchange(client, kEcho, std::string(100, 'r'), &reply[0], 8);
  return check(reply.compare(8, 8, "ZZZZZZZZ") == 0, "a 100-byte reply overran 8 bytes");
}

int open_descriptors() {
  int count = 0;
  for (int fd = 0; fd < 4096; ++fd) count += fcntl(fd, F_GETFD) != -1;
  return count;
}

// True when at most `count` descriptors are open within 5 s: what a client
// closes may take a moment to go on the serving side.
bool settles(int count) {
  return test_support::wait_until([count] { return open_descriptors() <= count; }, 5000);
}

// Twice 12 threads at once, each exchanging 50 times: every reply is its
// own, and the second time leaves no more descriptors open than the first.
verdict threads_at_once() {
  bmc_mc_client* client = bmc_mc_client::bmc_mc_get_client(options.facade.c_str());
  EXPECT(client != nullptr, "no client");
  std::atomic<int> wrong{0}, asked_once{0};
  int first = 0;
  for (int round = 0; round < 2; ++round) {
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 12; ++t) {
      threads.emplace_back([&, t, round] {
        for (unsigned i = 0; i < 50; ++i) {
          wrong += !ask(client, 4 + t * 50 + i, t + i).empty();
          // All 12 have exchanged before any goes on, however they are scheduled.
          for (asked_once += i == 0; i == 0 && asked_once < 12 * (round + 1);) pause_ms(1);
        }
      });
    }
    for (std::thread& t : threads) t.join();
    if (round == 0) first = open_descriptors();
  }
  EXPECT(wrong == 0, "%d of 1200 exchanges failed or got another's reply", wrong.load());
  return check(settles(first), "%d descriptors open, %d before", open_descriptors(), first);
}

#if COMM_RMS_CONFORMANCE_HOST
verdict refusing_ready() {
  const served refusing(own_name("refusing"), false);
  return ready_is(own_name("refusing"), false);
}

// A failed exchange leaves the failure word where an earlier success (0)
// lay: the facade ends before it replies (0), never replies (1), or is gone
// since the lookup (2).
verdict fails(int how) {
  const std::string name = own_name("failing");
  auto facade = std::make_unique<served>(name);
  bmc_mc_client* client = bmc_mc_client::bmc_mc_get_client(name.c_str());
  char reply[8] = {};
  EXPECT(client != nullptr && exchange(client, kEcho, std::string(8, '\0'), reply, 8) == 0,
         "no echo first");
  if (how == 2) facade.reset();
  std::thread ender([&] {
    for (const auto begin = steady::now(); how == 0 && ms_since(begin) < 5000; pause_ms(5)) {
      if (facade->facade.has_later) return facade.reset();
    }
  });
  exchange(client, kLater, "hold", reply, 8);
  ender.join();
  return check(first_word(reply) == BMC_MC_CHANNEL_FAILURE, "first word %d", first_word(reply));
}

// ---- Host serving --------------------------------------------------------------

bool echoes(const std::string& name) {
  bmc_mc_client* client = bmc_mc_client::bmc_mc_get_client(name.c_str());
  char reply[8] = {};
  return client != nullptr && exchange(client, kEcho, "ping", reply, 8) == 0 &&
         std::strcmp(reply, "ping") == 0;
}

// A name is one server's: a second is refused while it serves, and a
// server whose socket file was replaced leaves the new one alone.
verdict name_kept() {
  const std::string name = own_name("twice");
  auto first = std::make_unique<served>(name);
  test_facade other;
  const int open = open_descriptors();
  EXPECT(first->started == 0 && host::facade_server(other, name.c_str()).start() != 0,
         "a second server started");
  EXPECT(settles(open), "the refused server left a descriptor open");
  EXPECT(echoes(name), "the first server no longer answers");
  char path[128] = {};
  host::facade_socket_path(name.c_str(), path, sizeof path);
  unlink(path);
  const served second(name);
  first.reset();
  return check(second.started == 0 && echoes(name), "the first server's end took the name away");
}

// The host's OS wrapper beyond what the library needs: a bounded wait on a
// held lock lasts its bound, not a second more (999 ms: its deadline almost
// always carries into the next second; 2001: seconds and a rest), the local
// time refuses null arguments, and the trace output ends each line in one
// newline and cuts an overlong one at its limit, newline included.
verdict host_wrapper() {
  const std::shared_ptr<void> held = take(0);
  for (const unsigned long bound : {999ul, 2001ul}) {
    int rc = 0;
    const auto begin = steady::now();
    std::thread([&] { rc = shared_mutex.request(bound); }).join();
    const long waited = ms_since(begin), least = static_cast<long>(bound) - 50;
    EXPECT(rc != 0 && waited >= least && waited < least + 950, "request(%lu): %d after %ld ms",
           bound, rc, waited);
  }
  const time_t now = 0;
  tm local{};
  OSW_CLOCK clock{};
  EXPECT(emwCLBLocalTime_r(nullptr, &local) != 0 && emwCLBLocalTime_r(&now, nullptr) != 0 &&
             emwOSWGetClock(&clock) == 0 && emwOSWGetClock(nullptr) != 0,
         "time calls: 0 for a null argument, or not 0 for a good one");
  int (*const print)(unsigned int, unsigned int, int, const char*, ...) = emwGENTrcPrintf;
  EXPECT(print(0, 0, 0, nullptr) != 0 && print(0, 0, 0, "%lc", wint_t{0xFFFFFFFF}) != 0,
         "emwGENTrcPrintf took a null format or a message it cannot write");
  const std::string text = traced({"gets one", "", std::string(2047, 'y'), std::string(5000, 'z')});
  const std::string want = "gets one\n\n" + std::string(2046, 'y') + "\n" + std::string(2046, 'z');
  return check(text == want + "\n", "4 lines gave %zu bytes \"%.20s\"", text.size(), text.c_str());
}

// An ended server leaves no descriptor and no socket file; a server of a
// name that is no plain file name does not start.
verdict server_leaves() {
  const int before = open_descriptors();
  { const served ended(own_name("ended")); }
  char path[128] = {};
  host::facade_socket_path(own_name("ended").c_str(), path, sizeof path);
  EXPECT(access(path, F_OK) != 0, "its socket file is left");
  EXPECT(open_descriptors() == before, "%d descriptors open, %d before", open_descriptors(),
         before);
  for (const char* name : {"", ".", "..", "a/b"}) {
    test_facade facade;
    EXPECT(host::facade_server(facade, name).start() != 0, "a server named \"%s\" started", name);
  }
  return "";
}
#endif

// ---- Ring buffer -------------------------------------------------------------

const unsigned int kCapacity = vantorel::comm_rms_ucom_log::kRingCapacity;
constexpr int kPop = -1;

// Entry `n` begins "#n:" (a wrong one shows which it is) and its letters
// follow from n, so a cut or mixed entry shows too.
std::string entry(unsigned n, unsigned size) {
  std::string text = "#" + std::to_string(n) + ":";
  for (unsigned i = 0; text.size() < size; ++i) text += static_cast<char>('a' + (n * 3 + i) % 26);
  return text.substr(0, size);
}

// Runs {count, op} pairs (op: bytes to push, or kPop) against a ring of
// the store's capacity and a model that keeps the newest entries that fit
// and refuses a larger one; pops reuse one vector, as the dump does.
verdict ring_run(std::vector<std::pair<int, int>> runs, bool created = true) {
  vantorel::put_lib_log_ring_buffer ring;
  const int made = created ? ring.create_ring_buffer(kCapacity) : 0;
  std::deque<std::string> kept;
  unsigned long bytes = 0;
  unsigned pushed = 0, step = 0;
  std::vector<unsigned char> popped;
  for (const auto& run : runs) {
    for (int i = 0; i < run.first; ++i, ++step) {
      if (run.second != kPop) {
        std::string text = entry(pushed++, static_cast<unsigned>(run.second));
        ring.push_data(&text[0], static_cast<unsigned>(text.size()));
        if (text.size() <= kCapacity) bytes += text.size(), kept.push_back(text);
        for (; bytes > kCapacity; kept.pop_front()) bytes -= kept[0].size();
        continue;
      }
      const bool delivered = ring.pop_data(popped) == 0;
      const std::string got(popped.begin(), popped.end()), due = kept.empty() ? "" : kept[0];
      EXPECT(delivered != kept.empty() && (!delivered || got == due),
             "step %u: pop gave %d, %zu bytes \"%.10s\", not %zu \"%.10s\"", step, !delivered,
             got.size(), got.c_str(), due.size(), due.c_str());
      if (!kept.empty()) bytes -= due.size(), kept.pop_front();
    }
  }
#if COMM_RMS_CONFORMANCE_HOST
  // The host's result and accounting: every entry offered is stored,
  // popped, evicted or refused.
  const vantorel::host::ring_counters c = vantorel::host::counters_of(ring);
  const unsigned stored = vantorel::host::entry_count(ring);
  EXPECT(made == 0 && stored == kept.size() && c.pushed + c.refused == pushed &&
             c.pushed == c.popped + c.evicted + stored,
         "made %d; %d pushed, %d popped, %d evicted, %d refused, %u stored of %u", made,
         int(c.pushed), int(c.popped), int(c.evicted), int(c.refused), stored, pushed);
#else
  (void)made;              // the library reads no result
#endif
  return "";
}

verdict ring_wraps() {
  std::vector<std::pair<int, int>> runs;
  for (unsigned i = 0, seed = 1103527590; i < 4000; ++i, seed = seed * 1103515245 + 12345)
    runs.emplace_back(1, (seed >> 8) % 4 == 0 ? kPop : static_cast<int>(1 + (seed >> 12) % 3000));
  runs.emplace_back(200, kPop);
  return ring_run(runs);
}

// The library never stores one, but an empty entry must not disturb the
// others: stored empty, or refused.
verdict ring_empty_entry() {
  vantorel::put_lib_log_ring_buffer ring;
  ring.create_ring_buffer(kCapacity);
  std::string order, text = entry(1, 100) + entry(2, 100);
  // Entry 1, an empty one, entry 2.
  for (unsigned n : {1u, 0u, 2u}) ring.push_data(&text[n == 2 ? 100 : 0], n == 0 ? 0 : 100);
  std::vector<unsigned char> popped;
  while (ring.pop_data(popped) == 0 && order.size() < 4) order += popped.empty() ? 'e' : popped[1];
  return check(order == "12" || order == "1e2", "pops gave %s (e: empty)", order.c_str());
}

// ---- Console -----------------------------------------------------------------

struct receiver final : vantorel::UCOM_UsrCommandReceiver {
  explicit receiver(int result) : answer(result) {}
  int ucom_usr_command(char* command) override { return seen = command, answer; }
  int answer;
  std::string seen;
};
receiver receivers[] = {receiver(-1), receiver(7777)};
const char* const kReceiverNames[] = {"conformance_a", "conformance_b"};

verdict registers() {
  vantorel::UCOM_UsrCommandManager* manager = vantorel::UCOM_UsrCommandManager::ucom_instance();
  EXPECT(manager != nullptr && manager == vantorel::UCOM_UsrCommandManager::ucom_instance(),
         "ucom_instance() gave null or a second manager");
  static const int added = manager->ucom_add_usr_command(&receivers[0], kReceiverNames[0]) |
                           manager->ucom_add_usr_command(&receivers[1], kReceiverNames[1]);
  (void)added;  // the library reads no result
  return "";
}

// Each receiver gets its own commands byte for byte, and its result comes
// back: in process, or through the process's console socket, which is
// listed, alive, and counted.
verdict delivers(bool through_socket) {
#if COMM_RMS_CONFORMANCE_HOST
  registers();
  for (const char* text : {vantorel::debug_dump::command, "UCGETMEMINFO with words", "x"}) {
    for (int r = 0; r < 2; ++r) {
      receivers[0].seen = receivers[1].seen = "(nothing)";
      int result = 0;
      const int rc = through_socket
                         ? host::console_deliver(getpid(), kReceiverNames[r], text, &result, 5000)
                         : (result = host::ucom_deliver(kReceiverNames[r], text), 0);
      const receiver &to = receivers[r], &other = receivers[1 - r];
      EXPECT(rc == 0 && result == to.answer && to.seen == text && other.seen == "(nothing)",
             "\"%s\": %d, result %d, got \"%s\", the other \"%s\"", text, rc, result,
             to.seen.c_str(), other.seen.c_str());
    }
  }
  static int listed, mine;
  listed = mine = 0;
  const int count = host::list_consoles(
      [](pid_t pid, bool alive, void*) { ++listed, mine += pid == getpid() && alive; }, nullptr);
  EXPECT(!through_socket || (count == listed && mine == 1),
         "list_consoles gave %d for %d, this process alive %d times", count, listed, mine);
  receiver stranger(0);
  EXPECT(host::ucom_deliver("conformance_nobody", "x") == vantorel::UCOM_NO_RECEIVER &&
             host::ucom_withdraw(&stranger) != 0,
         "an unregistered name or receiver not reported");
  return "";
#else
  (void)through_socket;
  return skip(
      "no delivery of the suite's own here: deliver UCGETMEMINFO to commRMS from the "
      "device's console while the library runs");
#endif
}

// ---- Runner ------------------------------------------------------------------

// A row; one that talks to the facade; one that needs the suite's own
// facade, and one of the host platform's own extras, both skipped on a
// device.
#define ROW(...) [] { return verdict(__VA_ARGS__); }
#define RING(...) ROW(ring_run(__VA_ARGS__))
#define TALKS(...) [] { return needs(false).empty() ? verdict(__VA_ARGS__) : needs(false); }
#if COMM_RMS_CONFORMANCE_HOST
#define OWN_FACADE(...) [] { return needs(true).empty() ? verdict(__VA_ARGS__) : needs(true); }
#define HOST_EXTRA(...) ROW(__VA_ARGS__)
#else
#define OWN_FACADE(...) [] { return needs(true); }
#define HOST_EXTRA(...) [] { return skip("the host platform's own extras"); }
#endif

// Each row: its name, and what runs it.
const std::pair<const char*, verdict (*)()> kRows[] = {
    {"mutex: request(0xFFFFFFFF) excludes others until release", ROW(excludes(0))},
    {"mutex: OSW_Guard holds it from construction to destruction", ROW(excludes(1))},
    {"mutex: OSW_Thread_Guard is one lock for the whole process", ROW(excludes(2))},
    {"sleep: emwOSWSleep(300) sleeps 300 ms", ROW(sleeps(300, false))},
    {"sleep: signals do not cut emwOSWSleep(999) short", ROW(sleeps(999, true))},
    {"clock: seconds as time(), nanoseconds 0..999999999, advancing", ROW(clock_words())},
    {"local time: struct tm as localtime_r gives in the process's TZ", ROW(local_time())},
    {"trace: each emwGENTrcPrintf call writes its line whole", ROW(trace_lines())},
    {"channel: lookup of the served facade gives a client", TALKS(lookup(options.facade, true))},
    {"channel: lookup of an unserved name gives null", ROW(lookup(kAbsent, false))},
    {"channel: readiness is exactly 1 for the served facade",
     TALKS(ready_is(options.facade, true))},
    {"channel: readiness is not 1 for an unserved name", ROW(ready_is(kAbsent, false))},
    {"channel: readiness is not 1 for a facade not ready", OWN_FACADE(refusing_ready())},
    {"channel: an exchange copies the reply, nothing past it", TALKS(copies_reply())},
    {"channel: 12 threads at once get their own replies", TALKS(threads_at_once())},
    {"channel: failed exchange, facade ends before replying: failure word", OWN_FACADE(fails(0))},
    {"channel: failed exchange, no reply in the wait: failure word", OWN_FACADE(fails(1))},
    {"channel: failed exchange, facade gone since the lookup: failure word", OWN_FACADE(fails(2))},
    {"host wrapper: bounded waits, null arguments, lines cut", HOST_EXTRA(host_wrapper())},
    {"host serving: a name is one server's, also when replaced", HOST_EXTRA(name_kept())},
    {"host serving: an ended server leaves nothing; bad names", HOST_EXTRA(server_leaves())},
    {"ring: 1024 entries of 100 bytes fill it, all come back", RING({{1024, 100}, {1025, kPop}})},
    {"ring: 1600 entries of 64 bytes fill it and come back", RING({{1600, 64}, {1601, kPop}})},
    {"ring: one entry of the capacity is kept whole", RING({{1, 100}, {1, 102400}, {2, kPop}})},
    {"ring: a push to a full ring evicts the oldest", RING({{1024, 100}, {1, 250}, {1022, kPop}})},
    {"ring: a larger entry is refused, evicts nothing", RING({{10, 100}, {1, 102401}, {11, kPop}})},
    {"ring: a pop replaces the vector's content", RING({{1, 3000}, {1, 10}, {3, kPop}})},
    {"ring: 4000 pushes and pops of 1..3000 bytes, oldest first", ROW(ring_wraps())},
    {"ring: an empty entry is stored empty or refused", ROW(ring_empty_entry())},
    {"ring: pop delivers nothing from a ring without storage", RING({{1, kPop}}, false)},
    {"console: one manager; receivers register under names", ROW(registers())},
    {"console: commands reach their receiver, results come back", ROW(delivers(false))},
    {"console: the same through the process's console socket", ROW(delivers(true))},
};

std::atomic<int> passed{0}, failed{0}, skipped{0};
std::atomic<unsigned> rows_begun{0};
std::atomic<const char*> running{""};

void summary() {
  std::printf("%d passed, %d failed, %d skipped\n", passed.load(), failed.load(), skipped.load());
}

// A row that hangs (a lock never given back, an exchange that never
// returns) or crashes fails, and the run ends there.
void abandon(const char* what) {
  std::printf("FAILED  %s: %s; later rows not run\n", running.load(), what);
  ++failed;
  summary();
  _exit(1);
}

// Counts the quiet time by its pauses, each at least 500 ms.
void watchdog() {
  for (unsigned seen = ~0u, quiet = 0;; pause_ms(500)) {
    quiet = seen == rows_begun ? quiet + 500 : 0;
    seen = rows_begun;
    if (quiet > 60000) abandon("not finished within 60 s");
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string only;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--trace-to-stderr") {
      options.trace_to_stderr = true;
    } else if ((arg == "--facade" || arg == "--only") && i + 1 < argc) {
      (arg == "--only" ? only : options.facade) = argv[++i];
    } else {
      std::fputs("usage: platform_conformance [--facade NAME] [--trace-to-stderr] [--only TEXT]\n",
                 stderr);
      return 2;
    }
  }
  setenv("TZ", "<+0845>-8:45", 0);  // before any platform call: the zone is read once
#if COMM_RMS_CONFORMANCE_HOST
  setenv("VANTOREL_REPLY_TIMEOUT_MS", "500", 0);  // as read once, by the first exchange
  options.own_facade = options.facade.empty();
  if (options.own_facade) options.facade = own_name("echo");
  const std::unique_ptr<served> own(options.own_facade ? new served(options.facade) : nullptr);
#endif
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each row shows as it ends
  std::thread(watchdog).detach();
  for (const int crash : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
    signal(crash, [](int) { abandon("crashed"); });
  for (const auto& r : kRows) {
    if (std::strstr(r.first, only.c_str()) == nullptr) continue;
    running = r.first, ++rows_begun;
    const verdict v = r.second();
    const bool skipped_row = v.rfind("skip: ", 0) == 0;
    const char* const word = v.empty() ? "ok" : skipped_row ? "skipped" : "FAILED";
    std::printf("%s  %s%s%s\n", word, r.first, v.empty() ? "" : ": ", v.c_str() + 6 * skipped_row);
    ++(v.empty() ? passed : skipped_row ? skipped : failed);
  }
  ++rows_begun;
  summary();
  return failed == 0 ? 0 : 1;
}
