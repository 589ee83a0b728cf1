// Bounded, EINTR-proof waits and packet I/O over Unix domain sockets.
#include "internal/socket_util.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace vantorel {
namespace host {
namespace sock {

namespace {

// Packets up to this size go through one buffer on the stack: a plain send
// or recv costs less than sendmsg or recvmsg with pieces.
constexpr size_t kFlatBytes = 2048;

size_t total_length(const struct iovec* pieces, int count) noexcept {
  size_t total = 0;
  for (int i = 0; i < count; ++i) total += pieces[i].iov_len;
  return total;
}

// One recv or recvmsg into the pieces with MSG_TRUNC: the packet's whole
// length, or -1 with errno.
ssize_t receive_once(int fd, struct iovec* pieces, int count, bool* truncated) noexcept {
  const size_t capacity = total_length(pieces, count);
  if (capacity <= kFlatBytes) {
    char flat[kFlatBytes];
    const ssize_t n = recv(fd, flat, capacity, MSG_TRUNC);
    if (n < 0) return n;
    size_t left = static_cast<size_t>(n) < capacity ? static_cast<size_t>(n) : capacity;
    const char* from = flat;
    for (int i = 0; i < count && left > 0; ++i) {
      const size_t part = pieces[i].iov_len < left ? pieces[i].iov_len : left;
      std::memcpy(pieces[i].iov_base, from, part);
      from += part;
      left -= part;
    }
    *truncated = static_cast<size_t>(n) > capacity;
    return n;
  }
  msghdr message{};
  message.msg_iov = pieces;
  message.msg_iovlen = static_cast<size_t>(count);
  const ssize_t n = recvmsg(fd, &message, MSG_TRUNC | MSG_CMSG_CLOEXEC);
  if (n >= 0) *truncated = (message.msg_flags & MSG_TRUNC) != 0;
  return n;
}

}  // namespace

int64_t now_ms() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int wait_fd(int fd, short events, int64_t deadline_ms) noexcept {
  for (;;) {
    // Past the deadline the socket is still looked at once: a process that
    // was stopped (or not scheduled) for longer than the wait must still
    // find what arrived meanwhile.
    const int64_t left = deadline_ms - now_ms();
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, static_cast<int>(left <= 0 ? 0 : left > 60000 ? 60000 : left));
    if (n == 0 && left <= 0) return 0;
    if (n > 0) return p.revents;
    if (n < 0 && errno != EINTR) return -errno;
  }
}

bool peer_allowed(int fd) noexcept {
  ucred cred{};
  socklen_t length = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || length != sizeof cred) {
    return false;
  }
  return cred.uid == geteuid() || cred.uid == 0;
}

bool make_address(const char* path, void* sockaddr_un_out, unsigned int* length_out) noexcept {
  auto* address = static_cast<sockaddr_un*>(sockaddr_un_out);
  const size_t n = std::strlen(path);
  if (n == 0 || n >= sizeof address->sun_path) return false;
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, path, n + 1);
  *length_out = static_cast<unsigned int>(offsetof(sockaddr_un, sun_path) + n + 1);
  return true;
}

int connect_socket(int fd, const char* path, int64_t deadline_ms) noexcept {
  sockaddr_un address{};
  unsigned int length = 0;
  if (!make_address(path, &address, &length)) return -ENAMETOOLONG;
  for (;;) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) break;
    const int error = errno;
    if (error == EISCONN) break;
    // A full backlog: the server is busy accepting; try again shortly.
    if ((error == EAGAIN || error == EINTR) && now_ms() < deadline_ms) {
      const timespec pause{0, 2L * 1000 * 1000};
      nanosleep(&pause, nullptr);
      continue;
    }
    return error == EAGAIN ? -ETIMEDOUT : -error;
  }
  return peer_allowed(fd) ? 0 : -EPERM;
}

int new_socket() noexcept {
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  return fd >= 0 ? fd : -errno;
}

int connect_to(const char* path, int64_t deadline_ms) noexcept {
  const int fd = new_socket();
  if (fd < 0) return fd;
  const int rc = connect_socket(fd, path, deadline_ms);
  if (rc == 0) return fd;
  close_fd(fd);
  return rc;
}

int send_packet(int fd, const struct iovec* pieces, int count, int64_t deadline_ms) noexcept {
  msghdr message{};
  message.msg_iov = const_cast<iovec*>(pieces);
  message.msg_iovlen = static_cast<size_t>(count);
  char flat[kFlatBytes];
  const size_t total = total_length(pieces, count);
  if (total <= sizeof flat) {
    char* to = flat;
    for (int i = 0; i < count; ++i) {
      if (pieces[i].iov_len > 0) std::memcpy(to, pieces[i].iov_base, pieces[i].iov_len);
      to += pieces[i].iov_len;
    }
  }
  for (;;) {
    const ssize_t sent = total <= sizeof flat ? send(fd, flat, total, MSG_NOSIGNAL | MSG_DONTWAIT)
                                              : sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return 0;
    const int error = errno;
    if (error == EINTR) continue;
    if (error != EAGAIN && error != EWOULDBLOCK) return -error;
    const int ready = wait_fd(fd, POLLOUT, deadline_ms);
    if (ready == 0) return -ETIMEDOUT;
    if (ready < 0) return ready;
    if ((ready & (POLLERR | POLLHUP)) != 0 && (ready & POLLOUT) == 0) return -EPIPE;
  }
}

ssize_t recv_packet(int fd, struct iovec* pieces, int count, int64_t deadline_ms,
                    bool* truncated) noexcept {
  for (;;) {
    // On a socket with a read timeout (set_blocking_reads) this read is the
    // whole wait, one system call; on a non-blocking one, or when a signal
    // cut the read short, the rest of the wait is a poll.
    const ssize_t n = receive_once(fd, pieces, count, truncated);
    if (n >= 0) return n;
    const int error = errno;
    if (error != EINTR && error != EAGAIN && error != EWOULDBLOCK) return -error;
    const int ready = wait_fd(fd, POLLIN, deadline_ms);
    if (ready == 0) return -ETIMEDOUT;
    if (ready < 0) return ready;
  }
}

int set_blocking_reads(int fd, int timeout_ms) noexcept {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return -errno;
  timeval limit{timeout_ms / 1000, static_cast<suseconds_t>(timeout_ms % 1000) * 1000};
  return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 ? 0 : -errno;
}

void close_fd(int fd) noexcept {
  const int saved = errno;
  if (fd >= 0) close(fd);
  errno = saved;
}

}  // namespace sock
}  // namespace host
}  // namespace vantorel
