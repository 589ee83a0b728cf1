// Client side of the message channel over Unix domain sockets.
//
// One client object per facade name, created on first use and never freed
// (callers keep the pointer for the life of the process). Each exchange
// takes a connection of its own (or opens a new one), so any number of
// threads can be in an exchange at once without waiting for each other: a
// thread keeps the connection of its last exchange with each facade for its
// next one (no lock on the way), and the rest wait in a small locked pool
// (a thread's connections go there when the thread ends). A connection is
// kept only after a clean exchange, so a reply that arrives late can never
// be taken for the answer of a later request. A forked child never uses the
// connections it inherited (see the fork handlers below).
//
// Bounds: connecting and sending finish within reply_timeout_ms() (5 s, or
// $VANTOREL_REPLY_TIMEOUT_MS), and the reply is awaited at most that long
// after the send (a blocking read with a read timeout: one system call); a
// readiness probe finishes within the smaller of that and 1 s.
//
// Readiness: the library checks before every request, so a ready answer is
// trusted for kReadyTrustMs and the check then costs no system call. A
// service that died meanwhile is found by the exchange itself: a pooled
// connection it closed fails the send (nothing was delivered, so the
// exchange reconnects, and a refused connect is a failure), and a send or
// receive that fails after delivery, or a reply that is short or does not
// match, is a channel failure. A failed exchange or a "not ready" answer
// ends the trust, and the next check probes again.
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "internal/run_directory.h"
#include "internal/socket_util.h"
#include "internal/wire.h"
#include "vantorel/host/host.h"
#include "vantorel/ipc.h"

namespace vantorel {

namespace {

using host::sock::close_fd;
using host::sock::now_ms;

constexpr int kPoolSize = 8;         // idle connections pooled per facade
constexpr int kThreadFacades = 4;    // facades whose connection a thread keeps
constexpr int kMaxFacadeNames = 64;  // distinct names one process may look up
constexpr int kProbeTimeoutMs = 1000;
constexpr int64_t kReadyTrustMs = 1000;

class host_client;

// The connections one thread keeps, one per facade. Only its thread reads
// and writes an entry, except a forked child's fork handler (the child's
// only thread) and the thread's own end. Every thread's set is linked into a
// list under registry_mutex, so a child closes its copies of them all.
struct thread_connections {
  struct entry {
    host_client* client = nullptr;
    std::atomic<int> fd{-1};
  };
  entry entries[kThreadFacades];
  thread_connections* prev = nullptr;
  thread_connections* next = nullptr;
  bool linked = false;
  unsigned evicted = 0;  // the entry given up next when all keep one

  // The entry of `client`, claimed if there is none yet; null when the
  // thread's end could not be watched.
  entry* of(host_client* client) noexcept;
  // At the thread's end: unlisted, its connections pooled for others.
  void release() noexcept;
};

std::mutex registry_mutex;  // the registry of clients and of thread sets
thread_connections* thread_sets = nullptr;
// Trivially destructible and constant-initialised: no guard per use. A
// thread's end is seen through a key.
thread_local thread_connections this_thread;
pthread_key_t thread_end_key;
bool thread_end_key_made = false;  // under registry_mutex

extern "C" void thread_ended(void* set) {
  static_cast<thread_connections*>(set)->release();
}

class host_client final : public bmc_mc_client {
 public:
  host_client() = default;

  bool init(const char* name) noexcept {
    if (std::strlen(name) >= sizeof name_) return false;
    std::strcpy(name_, name);
    return host::facade_socket_path(name, path_, sizeof path_) == 0;
  }

  const char* name() const noexcept { return name_; }

  // An idle connection, or a new one. fd or -errno. With `look` false an
  // idle one is taken unexamined: one whose service went away fails the
  // send with EPIPE, and the exchange then goes on to the next.
  int take(int64_t deadline_ms, bool* reused, bool look = true) noexcept {
    int fd = -1;
    if (look) {
      fd = take_idle();
    } else {
      fd = take_unexamined();
    }
    if (fd >= 0) {
      *reused = true;
      return fd;
    }
    *reused = false;
    const int fresh = host::sock::connect_to(path_, deadline_ms);
    if (fresh < 0) return fresh;
    // A reply is then awaited in one blocking read instead of poll + read.
    const int rc = host::sock::set_blocking_reads(fresh, host::reply_timeout_ms());
    if (rc != 0) {
      close_fd(fresh);
      return rc;
    }
    return fresh;
  }

  // The connection this thread kept, or -1.
  int take_kept() noexcept {
    thread_connections::entry* kept = this_thread.of(this);
    if (kept == nullptr) return -1;
    const int fd = kept->fd.load(std::memory_order_relaxed);
    kept->fd.store(-1, std::memory_order_relaxed);
    return fd;
  }

  // A pooled connection, or -1.
  int pop() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    return idle_count_ > 0 ? idle_[--idle_count_] : -1;
  }

  // The connection this thread kept, else a pooled one, else -1.
  int take_unexamined() noexcept {
    const int fd = take_kept();
    return fd >= 0 ? fd : pop();
  }

  // An idle connection that is still sound, or -1 when there is none.
  int take_idle() noexcept {
    for (;;) {
      const int fd = take_unexamined();
      if (fd < 0) return -1;
      // An idle connection has nothing to read; anything else (the service
      // closed it, died or restarted) makes it useless.
      pollfd p{fd, POLLIN, 0};
      int n;
      do {
        n = poll(&p, 1, 0);
      } while (n < 0 && errno == EINTR);
      if (n == 0) return fd;
      close_fd(fd);
    }
  }

  // True while a ready answer is trusted: no system call. A service that
  // went away since is found by the exchange that follows (see exchange()).
  // The coarse clock is enough for a window of a second.
  bool still_ready() const noexcept {
    return host::sock::coarse_ms() < ready_until_.load(std::memory_order_relaxed);
  }

  void set_ready(bool ready) noexcept {
    ready_until_.store(ready ? host::sock::coarse_ms() + kReadyTrustMs : 0,
                       std::memory_order_relaxed);
  }

  // Kept by this thread for its next exchange, else pooled, else closed.
  void give_back(int fd) noexcept {
    thread_connections::entry* kept = this_thread.of(this);
    if (kept != nullptr && kept->fd.load(std::memory_order_relaxed) < 0) {
      kept->fd.store(fd, std::memory_order_relaxed);
      return;
    }
    pool(fd);
  }

  void pool(int fd) noexcept {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (idle_count_ < kPoolSize) {
        idle_[idle_count_++] = fd;
        return;
      }
    }
    close_fd(fd);
  }

  // One exchange. On success the reply body lies in `reply` (cut at
  // `capacity`), *received holds the bytes written there and *answer the
  // answer's msg_id. 0 or -errno.
  int exchange(uint32_t type, uint32_t msg_id, const char* request, unsigned int length,
               char* reply, unsigned int capacity, int64_t deadline_ms, unsigned int* received,
               uint32_t* answer) noexcept {
    const uint32_t expected =
        type == host::wire::kProbe ? host::wire::kProbeAnswer : host::wire::kReply;
    for (;;) {
      bool reused = false;
      const int fd = take(deadline_ms, &reused, false);
      if (fd < 0) return fd;
      const uint32_t sequence = sequence_.fetch_add(1, std::memory_order_relaxed) + 1;
      host::wire::header out{host::wire::kMagic, type, msg_id, sequence, length};
      iovec pieces[2] = {{&out, sizeof out}, {const_cast<char*>(request), length}};
      int rc = host::sock::send_packet(fd, pieces, length > 0 ? 2 : 1, deadline_ms);
      if (rc != 0) {
        close_fd(fd);
        // A pooled connection whose service went away: nothing was
        // delivered, so the next one (at last a new one) may be tried.
        if (reused && (rc == -EPIPE || rc == -ECONNRESET || rc == -ENOTCONN)) {
          continue;
        }
        return rc;
      }
      host::wire::header in{};
      iovec into[2] = {{&in, sizeof in}, {reply, capacity}};
      bool truncated = false;  // the whole length is returned and checked instead
      // A probe has a shorter wait of its own than the socket's read timeout.
      const int pieces_in = capacity > 0 ? 2 : 1;
      const ssize_t n =
          type == host::wire::kProbe
              ? host::sock::recv_packet(fd, into, pieces_in, deadline_ms, &truncated)
              : host::sock::recv_packet_blocking(fd, into, pieces_in, deadline_ms, &truncated);
      if (n <= 0) {
        close_fd(fd);
        return n == 0 ? -ECONNRESET : static_cast<int>(n);
      }
      // A reply is the answer to this request only: same msg_id and
      // sequence, at least the result word, and exactly as long as its
      // header says. Anything else is a channel failure, never a result.
      const size_t got = static_cast<size_t>(n);
      const bool is_reply = type == host::wire::kRequest;
      if (got < sizeof in || in.magic != host::wire::kMagic || in.type != expected ||
          in.sequence != sequence || (is_reply && in.msg_id != msg_id) ||
          in.length > host::kMaxMessageBytes || got - sizeof in != in.length ||
          (is_reply && in.length < sizeof(int32_t))) {
        close_fd(fd);
        return -EPROTO;
      }
      const size_t body = in.length < capacity ? in.length : capacity;
      give_back(fd);
      *received = static_cast<unsigned int>(body);
      *answer = in.msg_id;
      return 0;
    }
  }

  // Around fork(): the pool is held while the process is copied, and the
  // child forgets the parent's connections (closing its copies sends
  // nothing: the parent keeps them open) and numbers its requests afresh,
  // so it can never read an answer meant for the parent.
  void hold() noexcept { mutex_.lock(); }
  void let_go() noexcept { mutex_.unlock(); }
  void let_go_in_child() noexcept {
    for (int i = 0; i < idle_count_; ++i) close_fd(idle_[i]);
    idle_count_ = 0;
    ready_until_.store(0, std::memory_order_relaxed);
    sequence_.store(first_sequence(), std::memory_order_relaxed);
    mutex_.unlock();
  }

  host_client* next_ = nullptr;  // registry link, written before publication

 private:
  char name_[96] = {};
  char path_[128] = {};
  std::mutex mutex_;
  int idle_[kPoolSize] = {};
  int idle_count_ = 0;
  // Sequences differ between the processes of one family: each starts at
  // its pid in the high half.
  static uint32_t first_sequence() noexcept { return static_cast<uint32_t>(getpid()) << 16; }
  std::atomic<uint32_t> sequence_{first_sequence()};
  std::atomic<int64_t> ready_until_{0};
};

std::atomic<host_client*> registry_head{nullptr};
std::atomic<int> registry_count{0};

thread_connections::entry* thread_connections::of(host_client* client) noexcept {
  for (entry& e : entries) {
    if (e.client == client) return &e;
  }
  // An entry that keeps nothing, else the next in turn, whose connection
  // then goes to its pool.
  entry* free = nullptr;
  for (entry& e : entries) {
    if (e.client == nullptr || e.fd.load(std::memory_order_relaxed) < 0) {
      free = &e;
      break;
    }
  }
  if (free == nullptr) {
    free = &entries[evicted++ % kThreadFacades];
    const int fd = free->fd.load(std::memory_order_relaxed);
    free->fd.store(-1, std::memory_order_relaxed);
    free->client->pool(fd);
  }
  if (!linked) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    if (!thread_end_key_made) {
      thread_end_key_made = pthread_key_create(&thread_end_key, thread_ended) == 0;
    }
    // Without the key a thread's end would leave its connections open.
    if (!thread_end_key_made || pthread_setspecific(thread_end_key, this) != 0) return nullptr;
    next = thread_sets;
    if (next != nullptr) next->prev = this;
    thread_sets = this;
    linked = true;
  }
  free->client = client;
  return free;
}

void thread_connections::release() noexcept {
  if (!linked) return;
  std::lock_guard<std::mutex> lock(registry_mutex);
  (prev != nullptr ? prev->next : thread_sets) = next;
  if (next != nullptr) next->prev = prev;
  linked = false;
  for (entry& e : entries) {
    const int fd = e.fd.load(std::memory_order_relaxed);
    e.fd.store(-1, std::memory_order_relaxed);
    if (fd >= 0) e.client->pool(fd);
  }
}

// One fixed order: the registry, then each client's pool (newest first).
void hold_all() noexcept {
  registry_mutex.lock();
  for (host_client* c = registry_head.load(std::memory_order_acquire); c != nullptr; c = c->next_) {
    c->hold();
  }
}

void let_go_all(bool child) noexcept {
  for (host_client* c = registry_head.load(std::memory_order_acquire); c != nullptr; c = c->next_) {
    if (child) {
      c->let_go_in_child();
    } else {
      c->let_go();
    }
  }
  if (child) {
    // The child's copies of what the parent's threads kept (its own
    // thread's among them) are closed; the parent keeps them open. Only
    // this thread's set stays listed: the others' threads are gone here.
    for (thread_connections* t = thread_sets; t != nullptr; t = t->next) {
      for (thread_connections::entry& e : t->entries)
        close_fd(e.fd.load(std::memory_order_relaxed));
    }
    thread_sets = nullptr;
    this_thread.prev = this_thread.next = nullptr;
    for (thread_connections::entry& e : this_thread.entries) {
      e.fd.store(-1, std::memory_order_relaxed);
    }
    if (this_thread.linked) thread_sets = &this_thread;
  }
  registry_mutex.unlock();
}

// Registered when the platform is loaded, before any library handler: the
// library's locks are taken first in prepare, the pools (innermost) last.
[[maybe_unused]] void let_go_in_parent() noexcept {
  let_go_all(false);
}
void let_go_in_child() noexcept {
  let_go_all(true);
}
[[maybe_unused]] const int fork_handlers =
    pthread_atfork(hold_all, let_go_in_parent, let_go_in_child);

host_client* find(const char* name) noexcept {
  for (host_client* c = registry_head.load(std::memory_order_acquire); c != nullptr; c = c->next_) {
    if (std::strcmp(c->name(), name) == 0) return c;
  }
  return nullptr;
}

// The client for `name`, created on first use; null for a bad name, an
// unsafe run directory or too many names.
host_client* find_or_create(const char* name) noexcept {
  if (name == nullptr || !host::run_directory_safe()) return nullptr;
  if (host_client* c = find(name)) return c;
  std::lock_guard<std::mutex> lock(registry_mutex);
  if (host_client* c = find(name)) return c;
  if (registry_count.load(std::memory_order_relaxed) >= kMaxFacadeNames) return nullptr;
  auto* created = new (std::nothrow) host_client;
  if (created == nullptr) return nullptr;
  if (!created->init(name)) {
    delete created;
    return nullptr;
  }
  created->next_ = registry_head.load(std::memory_order_relaxed);
  registry_head.store(created, std::memory_order_release);
  registry_count.fetch_add(1, std::memory_order_relaxed);
  return created;
}

}  // namespace

bmc_mc_client* bmc_mc_client::bmc_mc_get_client(const char* facade_name) {
  host_client* client = find_or_create(facade_name);
  if (client == nullptr) return nullptr;
  // Served means: something accepts a connection there now.
  bool reused = false;
  const int fd = client->take(now_ms() + kProbeTimeoutMs, &reused);
  if (fd < 0) return nullptr;
  client->give_back(fd);
  return client;
}

long bmc_mc_client::bmc_mc_check_facade(const char* facade_name, long /*flags*/) {
  host_client* client = find_or_create(facade_name);
  if (client == nullptr) return 0;
  if (client->still_ready()) return 1;
  const int limit =
      host::reply_timeout_ms() < kProbeTimeoutMs ? host::reply_timeout_ms() : kProbeTimeoutMs;
  unsigned int received = 0;
  uint32_t answer = 0;
  const int rc = client->exchange(host::wire::kProbe, 0, nullptr, 0, nullptr, 0, now_ms() + limit,
                                  &received, &answer);
  const bool ready = rc == 0 && answer == 1;
  client->set_ready(ready);
  return ready ? 1 : 0;
}

// 0 when the reply lies in `reply` (*reply_capacity then holds the bytes
// written; a longer reply is cut there, a shorter one leaves the rest of the
// buffer as it was); -1 on any failure, with BMC_MC_CHANNEL_FAILURE in the
// reply's first word when the buffer holds one.
long bmc_mc_client::bmc_mc_send_sync_message(long /*flags*/, long msg_id, char* request,
                                             unsigned int request_length, char* reply,
                                             unsigned int* reply_capacity,
                                             const char* /*facade_name*/) {
  const unsigned int capacity =
      (reply != nullptr && reply_capacity != nullptr) ? *reply_capacity : 0;
  int rc = -EINVAL;
  unsigned int received = 0;
  if (request_length <= host::kMaxMessageBytes && (request != nullptr || request_length == 0)) {
    uint32_t answer = 0;
    rc = static_cast<host_client*>(this)->exchange(
        host::wire::kRequest, static_cast<uint32_t>(msg_id), request, request_length, reply,
        capacity, now_ms() + host::reply_timeout_ms(), &received, &answer);
  }
  if (rc != 0) {
    static_cast<host_client*>(this)->set_ready(false);
    if (capacity >= sizeof(RETCODE)) {
      const RETCODE failure = BMC_MC_CHANNEL_FAILURE;
      std::memcpy(reply, &failure, sizeof failure);
    }
    return -1;
  }
  if (reply_capacity != nullptr) *reply_capacity = received;
  return 0;
}

}  // namespace vantorel
