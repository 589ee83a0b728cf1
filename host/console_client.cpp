// Client side of the console socket: used by tools and tests to reach the
// debug console of another process.
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "internal/console_request.h"
#include "internal/run_directory.h"
#include "internal/socket_util.h"
#include "vantorel/host/host.h"

namespace vantorel {
namespace host {

int console_deliver(pid_t pid, const char* receiver, const char* command, int* result,
                    int timeout_ms) noexcept {
  if (receiver == nullptr || command == nullptr || result == nullptr || timeout_ms <= 0) {
    return -EINVAL;
  }
  const size_t receiver_length = std::strlen(receiver);
  const size_t command_length = std::strlen(command);
  if (receiver_length + 1 + command_length > kMaxConsoleRequest) return kConsoleBadRequest;
  if (!run_directory_safe()) return -EPERM;
  char path[128];
  const int named = console_socket_path(pid, path, sizeof path);
  if (named != 0) return named;
  const int64_t deadline = sock::now_ms() + timeout_ms;
  const int fd = sock::connect_to(path, deadline);
  if (fd < 0) return fd == -ETIMEDOUT ? kConsoleTimedOut : fd;
  // Sent as it is: the console judges the text.
  iovec pieces[3] = {{const_cast<char*>(receiver), receiver_length},
                     {const_cast<char*>(" "), 1},
                     {const_cast<char*>(command), command_length}};
  int rc = sock::send_packet(fd, pieces, 3, deadline);
  if (rc == 0) {
    console_reply answer{};
    iovec into{&answer, sizeof answer};
    bool truncated = false;
    const ssize_t n = sock::recv_packet(fd, &into, 1, deadline, &truncated);
    if (n == -ETIMEDOUT) {
      rc = kConsoleTimedOut;
    } else if (n < 0) {
      rc = static_cast<int>(n);
    } else if (n != static_cast<ssize_t>(sizeof answer) || truncated) {
      rc = kConsoleBadReply;
    } else if (answer.status != 0) {
      rc = answer.status == kConsoleBadRequest ? kConsoleBadRequest : kConsoleBadReply;
    } else {
      *result = answer.result;
    }
  } else if (rc == -ETIMEDOUT) {
    rc = kConsoleTimedOut;
  }
  sock::close_fd(fd);
  return rc;
}

}  // namespace host
}  // namespace vantorel
