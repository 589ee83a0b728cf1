#include "seqpacket_peer.h"

#include "bench_support.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace comm_rms_bench {

namespace {

constexpr unsigned int kLargest = 1024;

[[noreturn]] void answer_until_closed(int fd) {
  unsigned char message[kLargest];
  for (;;) {
    const ssize_t n = recv(fd, message, sizeof message, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < static_cast<ssize_t>(sizeof(uint32_t))) _exit(n == 0 ? 0 : 1);
    uint32_t reply_length = 0;
    std::memcpy(&reply_length, message, sizeof reply_length);
    if (reply_length > kLargest) reply_length = kLargest;
    if (send(fd, message, reply_length, MSG_NOSIGNAL) < 0) _exit(1);
  }
}

}  // namespace

seqpacket_peer::~seqpacket_peer() {
  stop();
}

int seqpacket_peer::start() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) return -errno;
  const pid_t child = fork();
  if (child < 0) {
    const int error = errno;
    close(fds[0]);
    close(fds[1]);
    return -error;
  }
  if (child == 0) {
    close(fds[0]);
    answer_until_closed(fds[1]);
  }
  close(fds[1]);
  fd_ = fds[0];
  pid_ = child;
  return 0;
}

long seqpacket_peer::exchange(const void* request, unsigned int request_length, void* reply,
                              unsigned int reply_capacity) {
  ssize_t n;
  do {
    n = send(fd_, request, request_length, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return -errno;
  do {
    n = recv(fd_, reply, reply_capacity, 0);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -errno : n;
}

void seqpacket_peer::stop() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  if (pid_ <= 0) return;
  // The peer leaves as soon as it reads the end of the stream.
  reap_child(pid_, 1000);
  pid_ = -1;
}

}  // namespace comm_rms_bench
