// Service side of the message channel: serves one facade on
// <run_dir>/<name>.sock. The caller's thread accepts clients (a poll on the
// listening socket and the stop pipe); each connection has a thread of its
// own that blocks in its read, so a message costs one receive and one send,
// and a client that sends nothing only occupies its thread. Messages reach
// the facade's dispatch one at a time (wire format in internal/wire.h);
// readiness probes are answered by the connection's thread.
//
// A connection ends only when its client leaves or breaks the wire rules,
// or when the server stops (its read side is shut, so a request already
// read is still carried out and answered): a request the service took is
// never cut off. When every slot is taken, new clients wait in the listen
// backlog (and in their connect) until one is free.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "internal/fork_guard.h"
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

constexpr int kSlotBits = 10;
constexpr int kSlots = 1 << kSlotBits;  // connections of every server in the process
constexpr uint32_t kGenerationMask = 0x1FFFFF;
constexpr int kAcceptPauseMs = 100;  // see accept_all
// A connection's thread runs the facade's dispatch; the message buffer is on
// the heap. Small stacks keep many threads well inside a 32-bit process.
constexpr size_t kThreadStackBytes = size_t{512} * 1024;

// Every served connection of the process, so that facade_reply can find the
// one a header came from (and refuse one that has since been closed or whose
// slot was reused): the header's peer is slot | generation << kSlotBits.
// A slot is free while its server is null.
struct connection_slot {
  void* server;  // the facade_server::impl that serves it
  int* threads;  // its count of connection threads
  int fd;
  uint32_t generation;
  bool pending;
  uint32_t sequence;
  uint32_t msg_id;
};

std::mutex slots_mutex;  // the slots and every server's thread count
std::condition_variable thread_ended;
connection_slot slots[kSlots];

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

struct facade_server::impl {
  explicit impl(facade_template& f) : facade(f) {}

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
  std::function<bool()> readiness;
  int64_t accept_paused_until = 0;
  int threads = 0;  // connection threads running, under slots_mutex
  // Held around dispatch and readiness, so the facade sees one at a time.
  std::mutex dispatch_mutex;
  std::atomic<bool> told_byte_order{false};

  int bind_socket() noexcept;
  // A client of the other byte order (a PowerPC client of a PC service, or
  // the reverse) cannot be served: said once, where a person starting the
  // service looks, rather than left to retry unanswered.
  void foreign_byte_order() noexcept {
    static const char kLine[] =
        "facade: a client sends in the other byte order (a PowerPC client of a PC "
        "service, or the reverse); it cannot be served\n";
    if (!told_byte_order.exchange(true)) {
      static_cast<void>(!write(STDERR_FILENO, kLine, sizeof kLine - 1));
    }
  }
  void accept_all() noexcept;
  void serve(int slot) noexcept;
  static void* serve_thread(void* slot) noexcept;
};

namespace {

// A slot for `fd` served by `server`, counted as one of its threads; -1
// when all are taken (fd -1: only whether one is free).
int slot_open(void* server, int* threads, int fd) noexcept {
  std::lock_guard<std::mutex> lock(slots_mutex);
  for (int i = 0; i < kSlots; ++i) {
    if (slots[i].server == nullptr) {
      if (fd < 0) return i;
      slots[i] = connection_slot{server, threads, fd, slots[i].generation, false, 0, 0};
      ++*threads;
      return i;
    }
  }
  return -1;
}

void slot_free(connection_slot& s) noexcept {
  close_fd(s.fd);
  --*s.threads;
  s.server = nullptr;
  s.generation = (s.generation + 1) & kGenerationMask;
}

void slot_close(int index) noexcept {
  std::lock_guard<std::mutex> lock(slots_mutex);
  slot_free(slots[index]);
  thread_ended.notify_all();
}

int32_t slot_await(int index, uint32_t sequence, uint32_t msg_id) noexcept {
  std::lock_guard<std::mutex> lock(slots_mutex);
  slots[index].pending = true;
  slots[index].sequence = sequence;
  slots[index].msg_id = msg_id;
  return static_cast<int32_t>(slots[index].generation << kSlotBits | static_cast<uint32_t>(index));
}

}  // namespace

void hold_servers() noexcept {
  slots_mutex.lock();
}

// The child closes its copies of the served connections: their threads
// stayed in the parent.
void release_servers(bool child) noexcept {
  if (child) {
    for (connection_slot& s : slots) {
      if (s.server != nullptr) slot_free(s);
    }
  }
  slots_mutex.unlock();
}

int facade_reply(const GEN_IPC_SVC& header, const void* data, unsigned int length) noexcept {
  if (data == nullptr && length != 0) return -EINVAL;
  if (length > kMaxMessageBytes) return -EMSGSIZE;
  if (header.peer < 0) return -EINVAL;
  const uint32_t peer = static_cast<uint32_t>(header.peer);
  const int index = static_cast<int>(peer & (kSlots - 1));
  std::lock_guard<std::mutex> lock(slots_mutex);
  connection_slot& s = slots[index];
  if (s.server == nullptr || s.generation != (peer >> kSlotBits) || !s.pending ||
      s.sequence != header.sequence) {
    return -ENOTCONN;
  }
  s.pending = false;
  return send_now(s.fd, wire::kReply, s.msg_id, s.sequence, data, length);
}

facade_server::facade_server(facade_template& facade, const char* name)
    : impl_(new (std::nothrow) impl(facade)) {
  if (impl_ != nullptr && name != nullptr && std::strlen(name) < sizeof impl_->name) {
    std::strcpy(impl_->name, name);
  }
}

facade_server::~facade_server() {
  if (impl_ == nullptr) return;
  stop();
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
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, kThreadStackBytes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  // Out of slots, threads, descriptors or memory, accepting pauses: the
  // clients wait in the backlog, and the listening socket, which stays
  // readable, is not spun on.
  bool pause = true;
  while (slot_open(this, &threads, -1) >= 0) {
    // Blocking, for the reads of its thread; sends never wait (send_now).
    const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) continue;
    if (fd < 0) {
      pause = errno != EAGAIN && errno != EWOULDBLOCK;
      break;
    }
    if (!sock::peer_allowed(fd)) {
      close_fd(fd);
      continue;
    }
    // Another server of the process may have taken the slot found free;
    // a request not read yet was not carried out.
    const int slot = slot_open(this, &threads, fd);
    pthread_t thread;
    if (slot < 0 || pthread_create(&thread, &attributes, serve_thread,
                                   reinterpret_cast<void*>(static_cast<intptr_t>(slot))) != 0) {
      slot < 0 ? close_fd(fd) : slot_close(slot);
      break;
    }
  }
  if (pause) accept_paused_until = sock::now_ms() + kAcceptPauseMs;
  pthread_attr_destroy(&attributes);
}

void* facade_server::impl::serve_thread(void* slot) noexcept {
  const int index = static_cast<int>(reinterpret_cast<intptr_t>(slot));
  static_cast<impl*>(slots[index].server)->serve(index);  // set before the thread started
  slot_close(index);
  return nullptr;
}

// Reads the connection's packets one by one and acts on each, until the
// client leaves or the server stops. A packet that breaks the wire rules
// (too long, too short, wrong length, unknown type) closes the connection:
// its client then reports a channel failure.
void facade_server::impl::serve(int slot) noexcept {
  // Header and body in one buffer: one plain recv per packet.
  constexpr size_t kPacketBytes = sizeof(wire::header) + kMaxMessageBytes;
  auto* packet = new (std::nothrow) unsigned char[kPacketBytes];
  if (packet == nullptr) return;
  char* const body = reinterpret_cast<char*>(packet) + sizeof(wire::header);
  const int fd = slots[slot].fd;  // stays open until this thread ends
  for (;;) {
    ssize_t n;
    do {
      n = recv(fd, packet, kPacketBytes, MSG_TRUNC);  // the whole length, also when cut
    } while (n < 0 && errno == EINTR);
    wire::header in{};
    const size_t got = n > 0 ? static_cast<size_t>(n) : 0;
    if (got >= sizeof in) std::memcpy(&in, packet, sizeof in);
    if (got < sizeof in || got > kPacketBytes || in.magic != wire::kMagic ||
        in.length != got - sizeof in) {
      if (got >= sizeof in && in.magic == __builtin_bswap32(wire::kMagic)) foreign_byte_order();
      break;
    }
    std::lock_guard<std::mutex> lock(dispatch_mutex);
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
    header.peer = slot_await(slot, in.sequence, in.msg_id);
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
  // Reads end; what was read is still carried out and answered.
  std::unique_lock<std::mutex> lock(slots_mutex);
  for (connection_slot& c : slots) {
    if (c.server == &s) shutdown(c.fd, SHUT_RD);
  }
  thread_ended.wait(lock, [&s] { return s.threads == 0; });
  return rc;
}

}  // namespace host
}  // namespace vantorel
