// Client side of the message channel over Unix domain sockets.
//
// One client object per facade name, created on first use and never freed
// (callers keep the pointer for the life of the process). Each exchange
// borrows a connection from the client's pool, or opens one, and gives it
// back only after a clean exchange: a reply that comes late can never be
// taken for the answer of a later request. The pool keeps at most kPoolSize
// idle connections whatever the number of threads; one more is closed after
// use. Borrowed connections stay listed with their client, so a forked child
// closes its copies of those in flight too.
//
// Readiness asks: a pooled connection that is still sound proves that the
// service which accepted it (and answered on it) lives, since one that died
// has hung up every connection to it; a zero-timeout poll sees that without
// waking the service. With no sound connection the check connects (refused:
// not ready) and asks the service's probe; only a ready answer pools it.
//
// Bounds: connecting and sending finish within reply_timeout_ms() (5 s, or
// $VANTOREL_REPLY_TIMEOUT_MS), and the reply is awaited at most that long
// after the send; a probe's answer at most probe_wait_ms(). A connection
// reads with that as its read timeout, so a prompt reply costs one blocking
// read (a poll before it costs about a microsecond). Cancellation is held off during an
// exchange: it would act inside these noexcept waits (ending the process)
// or leave a connection borrowed, and the exchange is bounded anyway.
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "internal/fork_guard.h"
#include "internal/run_directory.h"
#include "internal/socket_util.h"
#include "internal/wire.h"
#include "vantorel/host/host.h"
#include "vantorel/ipc.h"

namespace vantorel {

namespace {

using host::sock::close_fd;
using host::sock::now_ms;

constexpr int kPoolSize = 8;         // idle connections kept per facade
constexpr int kMaxFacadeNames = 64;  // distinct names one process may look up
constexpr int kProbeTimeoutMs = 1000;

int probe_wait_ms() noexcept {
  return host::reply_timeout_ms() < kProbeTimeoutMs ? host::reply_timeout_ms() : kProbeTimeoutMs;
}

class no_cancellation {
 public:
  no_cancellation() noexcept { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous_); }
  ~no_cancellation() { pthread_setcancelstate(previous_, nullptr); }

 private:
  int previous_ = 0;
};

// A connection out of the pool for one exchange.
struct borrowed {
  int fd = -1;
  bool fresh = false;  // opened for this exchange, not yet connected
  borrowed* prev = nullptr;
  borrowed* next = nullptr;
};

class host_client final : public bmc_mc_client {
 public:
  bool init(const char* name) noexcept {
    if (std::strlen(name) >= sizeof name_) return false;
    std::strcpy(name_, name);
    return host::facade_socket_path(name, path_, sizeof path_) == 0;
  }

  const char* name() const noexcept { return name_; }

  // True when a pooled connection is still sound; the unsound are closed.
  bool pooled_sound() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    while (idle_count_ > 0) {
      // An idle connection has nothing to read: anything there (the end of
      // a service that died or restarted) makes it useless.
      pollfd p{idle_[idle_count_ - 1], POLLIN, 0};
      if (poll(&p, 1, 0) == 0) return true;
      close_fd(idle_[--idle_count_]);
    }
    return false;
  }

  // One exchange. On success the reply body lies in `reply` (cut at
  // `capacity`), *received holds the bytes written there and *answer the
  // answer's msg_id. 0 or -errno.
  int exchange(uint32_t type, uint32_t msg_id, const char* request, unsigned int length,
               char* reply, unsigned int capacity, int64_t deadline_ms, unsigned int* received,
               uint32_t* answer) noexcept {
    const bool probe = type == host::wire::kProbe;
    for (;;) {
      borrowed b;
      int rc = borrow(&b);
      if (rc != 0) return rc;
      if (b.fresh) rc = host::sock::connect_socket(b.fd, path_, deadline_ms);
      if (b.fresh && rc == 0) rc = host::sock::set_blocking_reads(b.fd, probe_wait_ms());
      const uint32_t sequence = sequence_.fetch_add(1, std::memory_order_relaxed) + 1;
      host::wire::header out{host::wire::kMagic, type, msg_id, sequence, length};
      iovec pieces[2] = {{&out, sizeof out}, {const_cast<char*>(request), length}};
      if (rc == 0) rc = host::sock::send_packet(b.fd, pieces, length > 0 ? 2 : 1, deadline_ms);
      if (rc != 0) {
        give_back(&b, false);
        // A pooled connection whose service went away: nothing was
        // delivered, so another one (at last a new one) may be tried.
        if (!b.fresh && (rc == -EPIPE || rc == -ECONNRESET || rc == -ENOTCONN)) continue;
        return rc;
      }
      host::wire::header in{};
      iovec into[2] = {{&in, sizeof in}, {reply, capacity}};
      bool truncated = false;  // the whole length is returned and checked instead
      const ssize_t n =
          host::sock::recv_packet(b.fd, into, capacity > 0 ? 2 : 1, deadline_ms, &truncated);
      // A reply is the answer to this request only: same msg_id and
      // sequence, at least the result word, and exactly as long as its
      // header says. Anything else is a channel failure, never a result.
      const size_t got = n > 0 ? static_cast<size_t>(n) : 0;
      const bool whole = got >= sizeof in && in.magic == host::wire::kMagic &&
                         in.type == (probe ? host::wire::kProbeAnswer : host::wire::kReply) &&
                         in.sequence == sequence && (probe || in.msg_id == msg_id) &&
                         in.length <= host::kMaxMessageBytes && got - sizeof in == in.length &&
                         (probe || in.length >= sizeof(int32_t));
      // A service that is not ready leaves no connection that would read as ready.
      give_back(&b, whole && (!probe || in.msg_id == 1));
      if (!whole) return n < 0 ? static_cast<int>(n) : n == 0 ? -ECONNRESET : -EPROTO;
      *received = in.length < capacity ? in.length : capacity;
      *answer = in.msg_id;
      return 0;
    }
  }

  // True when something accepts a connection at the facade's path now.
  bool served() noexcept {
    const int fd = host::sock::connect_to(path_, now_ms() + kProbeTimeoutMs);
    close_fd(fd);
    return fd >= 0;
  }

  // Around fork(): the child closes its copies of the parent's connections,
  // idle and borrowed (closing a copy sends nothing: the parent keeps them
  // open), and numbers its requests afresh, so it can never read an answer
  // meant for the parent.
  void hold() noexcept { mutex_.lock(); }
  void let_go(bool child) noexcept {
    if (child) {
      while (idle_count_ > 0) close_fd(idle_[--idle_count_]);
      for (borrowed* b = borrowed_; b != nullptr; b = b->next) close_fd(b->fd);
      borrowed_ = nullptr;
      sequence_.store(first_sequence(), std::memory_order_relaxed);
    }
    mutex_.unlock();
  }

  host_client* next_ = nullptr;  // registry link, written before publication

 private:
  // A pooled connection, else a new socket (made under the lock, so that a
  // fork never copies one that is not listed).
  int borrow(borrowed* b) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    b->fresh = idle_count_ == 0;
    b->fd = b->fresh ? host::sock::new_socket() : idle_[--idle_count_];
    if (b->fd < 0) return b->fd;
    b->next = borrowed_;
    if (borrowed_ != nullptr) borrowed_->prev = b;
    borrowed_ = b;
    return 0;
  }

  // Back to the pool after a clean exchange while there is room, else closed.
  void give_back(borrowed* b, bool clean) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    (b->prev != nullptr ? b->prev->next : borrowed_) = b->next;
    if (b->next != nullptr) b->next->prev = b->prev;
    if (clean && idle_count_ < kPoolSize) {
      idle_[idle_count_++] = b->fd;
    } else {
      close_fd(b->fd);
    }
  }

  // Sequences differ between the processes of one family: each starts at
  // its pid in the high half.
  static uint32_t first_sequence() noexcept { return static_cast<uint32_t>(getpid()) << 16; }

  char name_[96] = {};
  char path_[128] = {};
  std::mutex mutex_;  // guards the pool and the borrowed list
  int idle_[kPoolSize] = {};
  int idle_count_ = 0;
  borrowed* borrowed_ = nullptr;
  std::atomic<uint32_t> sequence_{first_sequence()};
};

std::mutex registry_mutex;  // creation of clients
std::atomic<host_client*> registry_head{nullptr};
int registry_count = 0;  // under registry_mutex

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
  if (registry_count >= kMaxFacadeNames) return nullptr;
  auto* created = new (std::nothrow) host_client;
  if (created == nullptr) return nullptr;
  if (!created->init(name)) {
    delete created;
    return nullptr;
  }
  created->next_ = registry_head.load(std::memory_order_relaxed);
  registry_head.store(created, std::memory_order_release);
  ++registry_count;
  return created;
}

}  // namespace

namespace host {

// The registry, then each client (newest first).
void hold_channel() noexcept {
  registry_mutex.lock();
  for (host_client* c = registry_head.load(std::memory_order_acquire); c != nullptr; c = c->next_) {
    c->hold();
  }
}

void release_channel(bool child) noexcept {
  for (host_client* c = registry_head.load(std::memory_order_acquire); c != nullptr; c = c->next_) {
    c->let_go(child);
  }
  registry_mutex.unlock();
}

}  // namespace host

bmc_mc_client* bmc_mc_client::bmc_mc_get_client(const char* facade_name) {
  const no_cancellation bounded;
  host_client* client = find_or_create(facade_name);
  return client != nullptr && client->served() ? client : nullptr;
}

long bmc_mc_client::bmc_mc_check_facade(const char* facade_name, long /*flags*/) {
  const no_cancellation bounded;
  host_client* client = find_or_create(facade_name);
  if (client == nullptr) return 0;
  if (client->pooled_sound()) return 1;
  unsigned int received = 0;
  uint32_t answer = 0;
  const int rc = client->exchange(host::wire::kProbe, 0, nullptr, 0, nullptr, 0,
                                  now_ms() + probe_wait_ms(), &received, &answer);
  return rc == 0 && answer == 1 ? 1 : 0;
}

// 0 when the reply lies in `reply` (*reply_capacity then holds the bytes
// written; a longer reply is cut there, a shorter one leaves the rest of the
// buffer as it was); -1 on any failure, with BMC_MC_CHANNEL_FAILURE in the
// reply's first word when the buffer holds one.
long bmc_mc_client::bmc_mc_send_sync_message(long /*flags*/, long msg_id, char* request,
                                             unsigned int request_length, char* reply,
                                             unsigned int* reply_capacity,
                                             const char* /*facade_name*/) {
  const no_cancellation bounded;
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
