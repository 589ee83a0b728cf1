// Debug console: receivers kept by name, commands delivered in-process or
// through the process's console socket <run_dir>/ucom.<pid>.sock.
//
// The socket and the thread that serves it (the platform's, never the
// library's) start with the first receiver; the socket file is removed at
// exit. Only peers of the same user (or root) are served. The thread polls
// every connection, so a client that sends nothing holds up no one, and a
// request that is empty, oversized or malformed gets an error reply.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "internal/console_request.h"
#include "internal/fork_guard.h"
#include "internal/run_directory.h"
#include "internal/socket_util.h"
#include "vantorel/host/host.h"
#include "vantorel/ucom.h"

namespace vantorel {

namespace {

using host::sock::close_fd;

// Connections served at once; a new one replaces the one quiet longest.
constexpr int kMaxConsoleClients = 16;

class host_console final : public UCOM_UsrCommandManager {
 public:
  int add(UCOM_UsrCommandReceiver* receiver, const char* name) {
    if (receiver == nullptr || name == nullptr) return -1;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      receivers_.emplace_back(name, receiver);
    }
    start_socket();
    return 0;
  }

  int remove(UCOM_UsrCommandReceiver* receiver) {
    std::lock_guard<std::mutex> lock(mutex_);
    int found = -1;
    for (auto it = receivers_.begin(); it != receivers_.end();) {
      if (it->second == receiver) {
        it = receivers_.erase(it);
        found = 0;
      } else {
        ++it;
      }
    }
    return found;
  }

  // Held across the delivery so that a receiver cannot be withdrawn (and
  // freed) while its command runs.
  int deliver(const char* name, const char* command) {
    if (name == nullptr || command == nullptr) return UCOM_NO_RECEIVER;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : receivers_) {
      if (entry.first == name) {
        std::string text(command);
        return entry.second->ucom_usr_command(&text[0]);
      }
    }
    return UCOM_NO_RECEIVER;
  }

  // Not held around fork() (see fork_guard.cpp): the child gets a new one.
  void renew_lock_in_child() noexcept { new (&mutex_) std::mutex; }

 private:
  void start_socket() noexcept;

  std::mutex mutex_;
  std::vector<std::pair<std::string, UCOM_UsrCommandReceiver*>> receivers_;
};

host_console& console() {
  static host_console* instance = new host_console;  // never freed: receivers outlive statics
  return *instance;
}

// State of the console socket. Written under socket_mutex before the
// thread starts; the thread owns listen_fd afterwards.
std::mutex socket_mutex;
bool socket_started = false;
pid_t socket_owner = 0;
int socket_fd = -1;
char socket_path[128];

void remove_socket_at_exit() {
  // A forked child inherits the handler but not the socket.
  if (socket_owner == getpid()) unlink(socket_path);
}

// Console sockets of processes that were killed before their exit handlers
// ran would pile up in the run directory; the next console clears them.
void remove_dead_sockets() {
  host::list_consoles(
      [](pid_t pid, bool alive, void*) {
        char path[128];
        if (!alive && host::console_socket_path(pid, path, sizeof path) == 0) unlink(path);
      },
      nullptr);
}

void reply(int fd, int32_t status, int32_t result) {
  host::console_reply answer{status, result};
  iovec piece{&answer, sizeof answer};
  if (host::sock::send_packet(fd, &piece, 1, host::sock::now_ms()) != 0) shutdown(fd, SHUT_RDWR);
}

// Reads one request from `fd` and answers it. False when the connection is
// finished.
bool serve_request(int fd, short revents) {
  char text[host::kMaxConsoleRequest + 1];
  iovec piece{text, sizeof text};
  msghdr message{};
  message.msg_iov = &piece;
  message.msg_iovlen = 1;
  ssize_t n;
  do {
    n = recvmsg(fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
  // Zero bytes: an empty request, or the end once the peer has gone.
  if (n == 0 && (revents & POLLHUP) != 0) return false;
  char receiver[host::kMaxReceiverName + 1];
  char command[host::kMaxConsoleRequest + 1];
  const size_t length = (message.msg_flags & MSG_TRUNC) != 0 ? sizeof text : static_cast<size_t>(n);
  if (host::parse_console_request(text, length, receiver, command) != 0) {
    reply(fd, host::kConsoleBadRequest, 0);
    return true;
  }
  reply(fd, 0, console().deliver(receiver, command));
  return true;
}

void* serve_console(void* arg) {
  const int listen_fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  pollfd polled[kMaxConsoleClients + 1];
  int64_t seen[kMaxConsoleClients + 1];
  int clients = 0;
  for (;;) {
    polled[0] = pollfd{listen_fd, POLLIN, 0};
    for (int i = 1; i <= clients; ++i) polled[i].revents = 0;
    const int n = poll(polled, static_cast<nfds_t>(clients) + 1, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return nullptr;
    }
    for (int i = clients; i >= 1; --i) {
      const short revents = polled[i].revents;
      if (revents == 0) continue;
      seen[i] = host::sock::now_ms();
      if ((revents & POLLIN) != 0 && serve_request(polled[i].fd, revents)) continue;
      close_fd(polled[i].fd);
      polled[i] = polled[clients];
      seen[i] = seen[clients];
      --clients;
    }
    if (polled[0].revents != 0) {
      const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0 && errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
        poll(nullptr, 0, 100);  // out of descriptors: do not spin on the listener
      }
      if (fd >= 0) {
        if (!host::sock::peer_allowed(fd)) {
          close_fd(fd);
        } else {
          if (clients >= kMaxConsoleClients) {
            int quietest = 1;
            for (int i = 2; i <= clients; ++i) {
              if (seen[i] < seen[quietest]) quietest = i;
            }
            close_fd(polled[quietest].fd);
            polled[quietest] = polled[clients];
            seen[quietest] = seen[clients];
            --clients;
          }
          ++clients;
          polled[clients] = pollfd{fd, POLLIN, 0};
          seen[clients] = host::sock::now_ms();
        }
      }
    }
  }
}

void host_console::start_socket() noexcept {
  std::lock_guard<std::mutex> lock(socket_mutex);
  if (socket_started) return;
  socket_started = true;  // one attempt per process: a failure is not retried per receiver
  static std::once_flag handlers;
  std::call_once(handlers, [] { std::atexit(remove_socket_at_exit); });
  if (!host::run_directory_safe() ||
      host::console_socket_path(getpid(), socket_path, sizeof socket_path) != 0) {
    return;
  }
  sockaddr_un address{};
  unsigned int length = 0;
  if (!host::sock::make_address(socket_path, &address, &length)) return;
  remove_dead_sockets();
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  // The name carries our pid, so a file already there was left by a dead
  // process that had the same pid.
  unlink(socket_path);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    close_fd(fd);
    return;
  }
  if (chmod(socket_path, 0600) != 0 || listen(fd, 16) != 0) {
    unlink(socket_path);
    close_fd(fd);
    return;
  }
  socket_owner = getpid();
  socket_fd = fd;
  // The thread takes no signals: they belong to the application's threads.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int rc = pthread_create(&thread, &attributes, serve_console,
                                reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  pthread_attr_destroy(&attributes);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (rc != 0) {
    unlink(socket_path);
    close_fd(fd);
    socket_fd = -1;
    socket_owner = 0;
  }
}

}  // namespace

void host::hold_console() noexcept {
  socket_mutex.lock();
}

void host::release_console(bool child) noexcept {
  if (child) {
    // The serving thread stays with the parent; a child that registers a
    // receiver serves a socket of its own.
    close_fd(socket_fd);
    socket_fd = -1;
    socket_owner = 0;
    socket_started = false;
    console().renew_lock_in_child();
  }
  socket_mutex.unlock();
}

UCOM_UsrCommandManager* UCOM_UsrCommandManager::ucom_instance() {
  return &console();
}

int UCOM_UsrCommandManager::ucom_add_usr_command(UCOM_UsrCommandReceiver* receiver,
                                                 const char* name) {
  return static_cast<host_console*>(this)->add(receiver, name);
}

int host::ucom_withdraw(UCOM_UsrCommandReceiver* receiver) {
  return console().remove(receiver);
}

int host::ucom_deliver(const char* name, const char* command) {
  return console().deliver(name, command);
}

}  // namespace vantorel
