// Small helpers over Unix domain SOCK_SEQPACKET sockets shared by the
// channel's client and server and by the console socket. Every wait is
// bounded by a deadline; EINTR never ends a wait early.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

namespace vantorel {
namespace host {
namespace sock {

// Monotonic milliseconds.
int64_t now_ms() noexcept;

// Waits for `events` on `fd` until `deadline_ms` (now_ms() clock).
// Returns the revents (> 0), 0 on timeout, -errno on failure. A deadline
// already past still gets one look.
int wait_fd(int fd, short events, int64_t deadline_ms) noexcept;

// True when the peer of a connected socket runs as our effective user or as root.
bool peer_allowed(int fd) noexcept;

// Fills a sockaddr_un for `path`; false when the path does not fit.
bool make_address(const char* path, void* sockaddr_un_out, unsigned int* length_out) noexcept;

// A non-blocking, close-on-exec SEQPACKET socket: fd or -errno.
int new_socket() noexcept;
// Connects such a socket to `path` within the deadline and checks its peer.
// 0 or -errno (-EPERM: peer refused); the socket stays the caller's.
int connect_socket(int fd, const char* path, int64_t deadline_ms) noexcept;
// new_socket() connected to `path`: fd, or -errno.
int connect_to(const char* path, int64_t deadline_ms) noexcept;

// Sends one packet made of `count` pieces, waiting for room until the
// deadline. 0 or -errno (-ETIMEDOUT).
int send_packet(int fd, const struct iovec* pieces, int count, int64_t deadline_ms) noexcept;

// Receives one packet into `count` pieces, waiting until the deadline (on
// a socket prepared by set_blocking_reads, at most its read timeout in one
// read, then a poll for what is left of the deadline). The packet's whole
// length (> 0, also when it was longer than the pieces), 0 when the peer
// closed, -errno (-ETIMEDOUT). *truncated is set when the packet was longer
// than the pieces.
ssize_t recv_packet(int fd, struct iovec* pieces, int count, int64_t deadline_ms,
                    bool* truncated) noexcept;

// Makes the reads of a connected socket block, each for at most
// `timeout_ms` (sends stay non-blocking: send_packet asks for that itself).
// 0 or -errno.
int set_blocking_reads(int fd, int timeout_ms) noexcept;

// close(2) that keeps errno.
void close_fd(int fd) noexcept;

}  // namespace sock
}  // namespace host
}  // namespace vantorel
