// What the host platform offers beyond the declarations the library calls:
// serving a facade over a Unix domain socket, replying to its messages, the
// debug console of this and of another process, and the ring buffer's
// accounting. Library code never includes this; simulators, tools and tests
// do.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>

#include "vantorel/ipc.h"
#include "vantorel/platform_export.h"
#include "vantorel/ring_buffer.h"
#include "vantorel/ucom.h"

namespace vantorel {

// Result of a delivery when no receiver has the name.
constexpr int UCOM_NO_RECEIVER = -1000;

namespace host {

// Withdraws every console registration of `receiver`; returns once no
// delivery to it is running. 0 when one was found.
VANTOREL_PLATFORM_API int ucom_withdraw(UCOM_UsrCommandReceiver* receiver);
// Delivers `command` to this process's receiver named `name` and returns
// its result, or UCOM_NO_RECEIVER.
VANTOREL_PLATFORM_API int ucom_deliver(const char* name, const char* command);

// Every entry ever offered to a ring buffer ends up in exactly one of these,
// or is still stored: pushed == popped + evicted + stored, refused apart.
struct ring_counters {
  uint64_t pushed;   // entries accepted by push_data
  uint64_t popped;   // entries delivered by pop_data
  uint64_t evicted;  // entries dropped to make room for newer ones
  uint64_t refused;  // entries rejected (larger than the capacity, or no storage)
};
VANTOREL_PLATFORM_API ring_counters counters_of(const put_lib_log_ring_buffer& ring) noexcept;
// Entries stored now.
VANTOREL_PLATFORM_API unsigned int entry_count(const put_lib_log_ring_buffer& ring) noexcept;

// Directory of every socket: $VANTOREL_RUN_DIR when set and non-empty, else
// "/tmp/vantorel-<uid>"; made with mode 0700 when missing (never a
// directory above it). Read once per process.
VANTOREL_PLATFORM_API const char* run_directory() noexcept;

// What makes a run directory unfit for our sockets.
enum class run_dir_fault {
  ok,
  not_absolute,    // a relative path would depend on where the process stands
  too_long,        // the path, or one of its names, is too long
  cannot_create,   // missing, and it (or a directory above it) could not be made
  cannot_open,     // there, but it cannot be opened or examined
  symlink,         // it, or a directory on its path, is a symbolic link
  not_directory,   // it, or a name on its path, is not a directory
  foreign_owner,   // it belongs to another user
  open_to_others,  // group or others may write it (any mode without that is fine: 0700, 0755)
  unsafe_parent,   // a directory on its path that neither root nor we own, or that group or
                   // others may write without the sticky bit (as /tmp has): its owner could
                   // swap the run directory
};
struct run_dir_verdict {
  run_dir_fault fault;
  char where[192];  // the directory the fault is about: the run directory or one on its path
  int error;        // errno, for cannot_create and cannot_open
  unsigned mode;    // mode bits of `where` (07777), where they were read
  unsigned owner;   // its owner's uid, where it was read
};
// The verdict on run_directory(), reached once per process by walking its
// path from "/" through descriptors. Unless it is ok, nothing is served or
// connected there (servers: -EPERM; clients: no client, not ready).
VANTOREL_PLATFORM_API const run_dir_verdict& run_directory_verdict() noexcept;
// The verdict as one sentence for a person: what is wrong and where. The
// length snprintf reports.
VANTOREL_PLATFORM_API int describe_run_directory(const run_dir_verdict& verdict, char* out,
                                                 std::size_t capacity) noexcept;

// The address of a socket in the run directory, as this process reaches it:
// "/proc/self/fd/<run directory descriptor>/<file>", so that binding,
// connecting or removing it never looks the directory's path up again (for
// text shown to a person, use run_directory()). 0, or -EPERM (the verdict is
// not ok), -EINVAL (a bad name), -ENAMETOOLONG.
//   facade_socket_path: "<facade name>.sock" (no "/", not "." or "..")
//   console_socket_path: "ucom.<pid>.sock"
VANTOREL_PLATFORM_API int facade_socket_path(const char* facade_name, char* out,
                                             std::size_t capacity) noexcept;
VANTOREL_PLATFORM_API int console_socket_path(pid_t pid, char* out, std::size_t capacity) noexcept;

// Calls visit(pid, alive, context) for each console socket "ucom.<pid>.sock"
// in the run directory; `alive` is false when no process has that pid (its
// process was killed before it could remove the socket). The number of
// sockets, or -errno (-EPERM: the verdict is not ok).
VANTOREL_PLATFORM_API int list_consoles(void (*visit)(pid_t pid, bool alive, void* context),
                                        void* context) noexcept;

// Longest request or reply body the channel carries, in bytes.
constexpr unsigned int kMaxMessageBytes = 64 * 1024;

// How long a client waits for a reply: kDefaultReplyTimeoutMs, or
// $VANTOREL_REPLY_TIMEOUT_MS when parse_reply_timeout_ms accepts it. Read
// once per process.
constexpr int kDefaultReplyTimeoutMs = 5000;
constexpr int kMinReplyTimeoutMs = 1;
constexpr int kMaxReplyTimeoutMs = 600000;
VANTOREL_PLATFORM_API int reply_timeout_ms() noexcept;
// A reply wait written as text: its milliseconds, or -1 unless it is a whole
// decimal number from kMinReplyTimeoutMs to kMaxReplyTimeoutMs.
VANTOREL_PLATFORM_API int parse_reply_timeout_ms(const char* text) noexcept;

// Serves one facade under a name. run() accepts clients; each connection is
// read by a thread of its own, and messages are dispatched one at a time
// (never two at once, from those threads); the data handed to dispatch
// stays valid only until dispatch returns. A client that connects and sends
// nothing does not hold up the others. Only peers of the same user (or
// root) are served.
class VANTOREL_PLATFORM_API facade_server {
 public:
  facade_server(facade_template& facade, const char* name);
  ~facade_server();  // stops serving, closes every connection, removes the socket
  facade_server(const facade_server&) = delete;
  facade_server& operator=(const facade_server&) = delete;

  // Binds <run_dir>/<name>.sock (mode 0600), replacing a stale socket file.
  // 0 or -errno (-EADDRINUSE when another live server holds the name).
  int start() noexcept;
  // Serves until stop(). 0 after stop(), -errno when serving failed, or
  // -EINVAL when start() did not succeed.
  int run() noexcept;
  // Makes run() return soon. Safe from another thread or a signal handler.
  void stop() noexcept;
  // Answers readiness probes: true means ready. The default answers true.
  // Called like dispatch, never at the same time; set it before run().
  void set_readiness(std::function<bool()> answer);
  // Messages dispatched so far (probes excluded).
  unsigned long dispatched() const noexcept;

 private:
  struct impl;
  impl* impl_;
};

// Sends the reply to the message whose header dispatch() received; once per
// message, from dispatch or later from any thread while the client still
// waits. A reply longer than kMaxMessageBytes is refused.
// 0, or -EINVAL (bad arguments), -EMSGSIZE, -ENOTCONN (client gone or
// already answered), -errno of the send.
VANTOREL_PLATFORM_API int facade_reply(const GEN_IPC_SVC& header, const void* data,
                                       unsigned int length) noexcept;

// Errors a console request can come back with (besides -errno of the
// socket calls, e.g. -ENOENT when process `pid` serves no console).
constexpr int kConsoleBadRequest = -1001;  // empty, malformed or oversized request
constexpr int kConsoleTimedOut = -1002;    // no reply within the wait
constexpr int kConsoleBadReply = -1003;    // the reply was not understood
// Longest "RECEIVER COMMAND" request text, in bytes.
constexpr unsigned int kMaxConsoleRequest = 1024;

// Delivers "RECEIVER COMMAND" to the debug console of process `pid` and
// waits up to `timeout_ms` for the receiver's result, stored in *result
// (UCOM_NO_RECEIVER when no receiver has the name). Returns 0 when the
// command was delivered, else one of the errors above.
VANTOREL_PLATFORM_API int console_deliver(pid_t pid, const char* receiver, const char* command,
                                          int* result, int timeout_ms) noexcept;

}  // namespace host
}  // namespace vantorel
