// A facade of a test's own, served by the host platform on a thread of its
// own: it echoes kEcho requests, echoes kSlow ones after 5 ms and keeps
// kLater ones for the test to answer (or to leave unanswered).
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "vantorel/host/host.h"
#include "vantorel/ipc.h"

namespace test_support {

enum : long { kEcho = 1, kLater = 3, kSlow = 5 };

struct test_facade final : vantorel::facade_template {
  void dispatch(LONG msg_id, char* data, UINT length, GEN_IPC_SVC header) override {
    if (msg_id == kSlow) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (msg_id == kEcho || msg_id == kSlow) vantorel::host::facade_reply(header, data, length);
    if (msg_id == kLater) later = header, has_later = true;
  }
  GEN_IPC_SVC later{};
  std::atomic<bool> has_later{false};
};

// Served under `name` for the life of the object; a ready one answers the
// readiness probe as a server without a readiness callback does.
struct served {
  explicit served(const std::string& name, bool ready = true) : server(facade, name.c_str()) {
    if (!ready) server.set_readiness([] { return false; });
    started = server.start();
    thread = std::thread([this] { server.run(); });  // at once -EINVAL when not started
  }
  ~served() { server.stop(), thread.join(); }
  test_facade facade;
  vantorel::host::facade_server server;
  int started;
  std::thread thread;
};

}  // namespace test_support
