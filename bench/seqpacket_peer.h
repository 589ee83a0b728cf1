// The floor of a request round trip: a second process that answers each
// message on a socketpair(AF_UNIX, SOCK_SEQPACKET) at once, with a reply of
// the length named in the request's first word.
#pragma once

#include <sys/types.h>

namespace comm_rms_bench {

class seqpacket_peer {
 public:
  seqpacket_peer() = default;
  ~seqpacket_peer();
  seqpacket_peer(const seqpacket_peer&) = delete;
  seqpacket_peer& operator=(const seqpacket_peer&) = delete;

  // Forks the answering process. 0, or -errno.
  int start();
  // One exchange: `request` (its first 4 bytes name the reply length, at
  // most 1024) out, the reply into `reply`. The reply's length, or -errno.
  long exchange(const void* request, unsigned int request_length, void* reply,
                unsigned int reply_capacity);
  // Closes the socket and reaps the process (killed if it lingers).
  void stop();
  pid_t pid() const { return pid_; }

 private:
  int fd_ = -1;
  pid_t pid_ = -1;
};

}  // namespace comm_rms_bench
