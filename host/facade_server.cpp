// Service side of the message channel: serves one facade on
// <run_dir>/<name>.sock. The caller's thread accepts clients (a poll on the
// listening socket and the stop pipe); each connection has a thread of its
// own that blocks in its read, so a message costs one receive and one send,
// and a client that sends nothing only occupies its thread. Messages reach
// the facade's dispatch one at a time (wire format in internal/wire.h);
// readiness probes are answered by the connection's thread.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "internal/run_directory.h"
#include "internal/socket_util.h"
#include "internal/wire.h"
#include "vantorel/host/host.h"
#include "vantorel/ipc.h"

namespace vantorel {

facade_template::facade_template() = default;
facade_template::~facade_template() = default;

namespace host {

namespace {

using sock::close_fd;

// Connections per server. When all are taken, a new client replaces the one
// that has been quiet longest: clients keep idle connections pooled and
// reconnect when one was closed, and a crowd of silent clients cannot lock
// out a working one.
constexpr int kMaxConnections = 128;
constexpr int kAcceptPauseMs = 100;  // after running out of descriptors
constexpr int kSlotBits = 10;
constexpr int kSlots = 1 << kSlotBits;  // connections of every server in the process
constexpr uint32_t kGenerationMask = 0x1FFFFF;
// A connection's thread runs the facade's dispatch; the message buffer is on
// the heap. Small stacks keep 128 threads well inside a 32-bit process.
constexpr size_t kThreadStackBytes = size_t{512} * 1024;

// Every served connection of the process, so that facade_reply can find the
// one a header came from (and refuse one that has since been closed or whose
// slot was reused): the header's peer is slot | generation << kSlotBits.
struct connection_slot {
  int fd;
  uint32_t generation;
  bool pending;
  uint32_t sequence;
  uint32_t msg_id;
};

std::mutex slots_mutex;
connection_slot slots[kSlots];
bool slots_ready = false;
// Held while fork() copies the process, so a child never inherits it taken.
void hold_slots() {
  slots_mutex.lock();
}
void release_slots() {
  slots_mutex.unlock();
}
[[maybe_unused]] const int fork_handlers = pthread_atfork(hold_slots, release_slots, release_slots);

int slot_open(int fd) noexcept {
  std::lock_guard<std::mutex> lock(slots_mutex);
  if (!slots_ready) {
    for (auto& s : slots) s = connection_slot{-1, 0, false, 0, 0};
    slots_ready = true;
  }
  for (int i = 0; i < kSlots; ++i) {
    if (slots[i].fd < 0) {
      slots[i].fd = fd;
      slots[i].pending = false;
      return i;
    }
  }
  return -1;
}

void slot_close(int index) noexcept {
  std::lock_guard<std::mutex> lock(slots_mutex);
  close_fd(slots[index].fd);
  slots[index].fd = -1;
  slots[index].pending = false;
  slots[index].generation = (slots[index].generation + 1) & kGenerationMask;
}

int32_t slot_await(int index, uint32_t sequence, uint32_t msg_id) noexcept {
  std::lock_guard<std::mutex> lock(slots_mutex);
  slots[index].pending = true;
  slots[index].sequence = sequence;
  slots[index].msg_id = msg_id;
  return static_cast<int32_t>(slots[index].generation << kSlotBits | static_cast<uint32_t>(index));
}

// Sends without waiting: a client waits for exactly one answer, so a full
// receive queue means a client that does not follow the protocol.
int send_now(int fd, uint32_t type, uint32_t msg_id, uint32_t sequence, const void* data,
             unsigned int length) noexcept {
  wire::header out{wire::kMagic, type, msg_id, sequence, length};
  iovec pieces[2] = {{&out, sizeof out}, {const_cast<void*>(data), length}};
  // A deadline already past: the send is tried once, without a clock read.
  const int rc = sock::send_packet(fd, pieces, length > 0 ? 2 : 1, 0);
  if (rc != 0) shutdown(fd, SHUT_RDWR);  // the serving loop then drops it
  return rc;
}

}  // namespace

int facade_reply(const GEN_IPC_SVC& header, const void* data, unsigned int length) noexcept {
  if (data == nullptr && length != 0) return -EINVAL;
  if (length > kMaxMessageBytes) return -EMSGSIZE;
  if (header.peer < 0) return -EINVAL;
  const uint32_t peer = static_cast<uint32_t>(header.peer);
  const int index = static_cast<int>(peer & (kSlots - 1));
  std::lock_guard<std::mutex> lock(slots_mutex);
  connection_slot& s = slots[index];
  if (!slots_ready || s.fd < 0 || s.generation != (peer >> kSlotBits) || !s.pending ||
      s.sequence != header.sequence) {
    return -ENOTCONN;
  }
  s.pending = false;
  return send_now(s.fd, wire::kReply, s.msg_id, s.sequence, data, length);
}

struct facade_server::impl {
  explicit impl(facade_template& f) : facade(f) {}

  // One served connection. fd is -1 once its thread has closed it; the
  // entry is free again once run() has joined that thread.
  struct connection {
    impl* server;
    int fd = -1;  // also in an entry never used: close_all of any server closes what it holds
    int slot;
    bool running;                // a thread was started and not yet joined
    std::atomic<uint64_t> seen;  // `packets` at its last packet or accept
    pthread_t thread;
  };

  facade_template& facade;
  char name[96] = {};
  char path[128] = {};
  bool started = false;
  int listen_fd = -1;
  int wake[2] = {-1, -1};
  dev_t socket_dev = 0;
  ino_t socket_ino = 0;
  std::atomic<bool> stopping{false};
  // Counted under dispatch_mutex (a load and a store, no atomic add), read
  // without it.
  std::atomic<unsigned long> dispatched{0};
  std::atomic<uint64_t> packets{0};  // the clock of the connections' `seen`
  std::function<bool()> readiness;
  int64_t accept_paused_until = 0;
  // Guards the table below (fd, slot, running); taken before slots_mutex.
  std::mutex table_mutex;
  connection table[kMaxConnections] = {};
  // Held around dispatch and readiness, so the facade sees one at a time.
  std::mutex dispatch_mutex;

  int bind_socket() noexcept;
  void accept_all() noexcept;
  void cut_off(connection& c) noexcept;
  void reap(bool all) noexcept;
  void close_all() noexcept;
  void serve(connection& c) noexcept;
  static void* serve_thread(void* argument) noexcept;
};

facade_server::facade_server(facade_template& facade, const char* name)
    : impl_(new (std::nothrow) impl(facade)) {
  if (impl_ != nullptr && name != nullptr && std::strlen(name) < sizeof impl_->name) {
    std::strcpy(impl_->name, name);
  }
}

facade_server::~facade_server() {
  if (impl_ == nullptr) return;
  stop();
  impl_->close_all();
  if (impl_->listen_fd >= 0) {
    // Only our own socket file goes: a newer server may own the name by now.
    struct stat st {};
    if (stat(impl_->path, &st) == 0 && st.st_dev == impl_->socket_dev &&
        st.st_ino == impl_->socket_ino) {
      unlink(impl_->path);
    }
    close_fd(impl_->listen_fd);
  }
  close_fd(impl_->wake[0]);
  close_fd(impl_->wake[1]);
  delete impl_;
}

int facade_server::impl::bind_socket() noexcept {
  sockaddr_un address{};
  unsigned int length = 0;
  if (!sock::make_address(path, &address, &length)) return -ENAMETOOLONG;
  for (int attempt = 0;; ++attempt) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -errno;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
      // The run directory is 0700, so nobody else reaches the file before
      // its mode is narrowed.
      struct stat st {};
      if (chmod(path, 0600) != 0 || stat(path, &st) != 0 || listen(fd, 64) != 0) {
        const int error = errno;
        unlink(path);
        close_fd(fd);
        return -error;
      }
      socket_dev = st.st_dev;
      socket_ino = st.st_ino;
      listen_fd = fd;
      return 0;
    }
    const int error = errno;
    close_fd(fd);
    if (error != EADDRINUSE || attempt > 0) return -error;
    // Left behind by a server that died, or still served?
    const int probe = sock::connect_to(path, sock::now_ms() + 200);
    if (probe >= 0 || probe == -ETIMEDOUT || probe == -EPERM) {
      close_fd(probe);
      return -EADDRINUSE;
    }
    unlink(path);
  }
}

int facade_server::start() noexcept {
  if (impl_ == nullptr) return -ENOMEM;
  if (impl_->started) return -EALREADY;
  if (!run_directory_safe()) return -EPERM;
  const int rc = facade_socket_path(impl_->name, impl_->path, sizeof impl_->path);
  if (rc != 0) return rc;
  if (impl_->wake[0] < 0 && pipe2(impl_->wake, O_NONBLOCK | O_CLOEXEC) != 0) return -errno;
  const int bound = impl_->bind_socket();
  if (bound != 0) return bound;
  impl_->started = true;
  return 0;
}

void facade_server::stop() noexcept {
  if (impl_ == nullptr) return;
  impl_->stopping.store(true, std::memory_order_release);
  if (impl_->wake[1] >= 0) {
    const int saved = errno;
    const char byte = 1;
    ssize_t ignored = write(impl_->wake[1], &byte, 1);
    (void)ignored;
    errno = saved;
  }
}

void facade_server::set_readiness(std::function<bool()> answer) {
  if (impl_ != nullptr) impl_->readiness = std::move(answer);
}

unsigned long facade_server::dispatched() const noexcept {
  return impl_ == nullptr ? 0 : impl_->dispatched.load(std::memory_order_relaxed);
}

void facade_server::impl::accept_all() noexcept {
  pthread_attr_t thread_attributes;
  pthread_attr_init(&thread_attributes);
  pthread_attr_setstacksize(&thread_attributes, kThreadStackBytes);
  for (;;) {
    // Blocking, for the reads of its thread; sends never wait (send_now).
    const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      // Out of descriptors or memory: the listening socket stays readable,
      // so leave it alone for a moment instead of spinning on it.
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        accept_paused_until = sock::now_ms() + kAcceptPauseMs;
      }
      pthread_attr_destroy(&thread_attributes);
      return;
    }
    if (!sock::peer_allowed(fd)) {
      close_fd(fd);
      continue;
    }
    reap(false);
    connection* entry = nullptr;
    connection* quietest = nullptr;
    {
      std::lock_guard<std::mutex> lock(table_mutex);
      for (connection& c : table) {
        if (!c.running) {
          entry = &c;
          break;
        }
        if (quietest == nullptr || c.seen.load(std::memory_order_relaxed) <
                                       quietest->seen.load(std::memory_order_relaxed)) {
          quietest = &c;
        }
      }
    }
    // All taken: the quietest client is cut off and makes room.
    if (entry == nullptr) {
      cut_off(*quietest);
      entry = quietest;
    }
    std::lock_guard<std::mutex> lock(table_mutex);
    const int slot = slot_open(fd);
    if (slot < 0) {
      close_fd(fd);
      continue;
    }
    connection& c = *entry;
    c.server = this;
    c.fd = fd;
    c.slot = slot;
    c.seen.store(packets.load(std::memory_order_relaxed), std::memory_order_relaxed);
    c.running = pthread_create(&c.thread, &thread_attributes, serve_thread, &c) == 0;
    if (!c.running) {
      slot_close(slot);
      c.fd = -1;
    }
  }
}

// Ends the connection's thread and frees its entry.
void facade_server::impl::cut_off(connection& c) noexcept {
  pthread_t thread{};
  {
    std::lock_guard<std::mutex> lock(table_mutex);
    if (!c.running) return;
    if (c.fd >= 0) shutdown(c.fd, SHUT_RDWR);  // its read returns at once
    thread = c.thread;
  }
  pthread_join(thread, nullptr);
  std::lock_guard<std::mutex> lock(table_mutex);
  c.running = false;
}

// Frees the entries whose connection has closed (all: every connection).
void facade_server::impl::reap(bool all) noexcept {
  for (connection& c : table) {
    bool ended = false;
    {
      std::lock_guard<std::mutex> lock(table_mutex);
      ended = c.running && c.fd < 0;
    }
    if (all || ended) cut_off(c);
  }
}

// Closes what no thread serves any more (in a forked child, every
// connection: its threads stayed in the parent).
void facade_server::impl::close_all() noexcept {
  std::lock_guard<std::mutex> lock(table_mutex);
  for (connection& c : table) {
    if (c.fd >= 0) slot_close(c.slot);
    c.fd = -1;
    c.running = false;
  }
}

void* facade_server::impl::serve_thread(void* argument) noexcept {
  connection& c = *static_cast<connection*>(argument);
  c.server->serve(c);
  std::lock_guard<std::mutex> lock(c.server->table_mutex);
  slot_close(c.slot);
  c.fd = -1;
  return nullptr;
}

// Reads the connection's packets one by one and acts on each, until the
// client leaves or the connection is cut off. A packet that breaks the wire
// rules (too long, too short, wrong length, unknown type) closes the
// connection: its client then reports a channel failure.
void facade_server::impl::serve(connection& c) noexcept {
  // Header and body in one buffer: one plain recv per packet.
  constexpr size_t kPacketBytes = sizeof(wire::header) + kMaxMessageBytes;
  auto* packet = new (std::nothrow) unsigned char[kPacketBytes];
  if (packet == nullptr) return;
  char* const body = reinterpret_cast<char*>(packet) + sizeof(wire::header);
  const int fd = c.fd;  // stays open until this thread ends
  for (;;) {
    ssize_t n;
    do {
      n = recv(fd, packet, kPacketBytes, MSG_TRUNC);  // the whole length, also when cut
    } while (n < 0 && errno == EINTR);
    wire::header in{};
    const size_t got = n > 0 ? static_cast<size_t>(n) : 0;
    if (got >= sizeof in) std::memcpy(&in, packet, sizeof in);
    if (got < sizeof in || got > kPacketBytes || in.magic != wire::kMagic ||
        in.length != got - sizeof in || stopping.load(std::memory_order_acquire)) {
      break;
    }
    std::lock_guard<std::mutex> lock(dispatch_mutex);
    const uint64_t now = packets.load(std::memory_order_relaxed) + 1;
    packets.store(now, std::memory_order_relaxed);
    c.seen.store(now, std::memory_order_relaxed);
    if (in.type == wire::kProbe && in.length == 0) {
      const bool ready = readiness ? readiness() : true;
      send_now(fd, wire::kProbeAnswer, ready ? 1 : 0, in.sequence, nullptr, 0);
      continue;
    }
    if (in.type != wire::kRequest) break;
    GEN_IPC_SVC header{};
    header.msg_id = in.msg_id;
    header.length = in.length;
    header.sequence = in.sequence;
    header.peer = slot_await(c.slot, in.sequence, in.msg_id);
    dispatched.store(dispatched.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    facade.dispatch(static_cast<LONG>(in.msg_id), body, in.length, header);
  }
  delete[] packet;
}

int facade_server::run() noexcept {
  if (impl_ == nullptr || !impl_->started) return -EINVAL;
  impl& s = *impl_;
  int rc = 0;
  while (!s.stopping.load(std::memory_order_acquire)) {
    pollfd polled[2];
    polled[0] = pollfd{s.wake[0], POLLIN, 0};
    int timeout = -1;
    const int64_t paused = s.accept_paused_until - sock::now_ms();
    if (paused > 0) timeout = static_cast<int>(paused);
    polled[1] = pollfd{s.listen_fd, static_cast<short>(paused > 0 ? 0 : POLLIN), 0};
    const int n = poll(polled, 2, timeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      rc = -errno;
      break;
    }
    if (polled[0].revents != 0) {
      char drain[64];
      while (read(s.wake[0], drain, sizeof drain) > 0) {
      }
      continue;  // the loop condition decides
    }
    if ((polled[1].revents & POLLIN) != 0) s.accept_all();
  }
  s.reap(true);
  s.close_all();
  return rc;
}

}  // namespace host
}  // namespace vantorel
