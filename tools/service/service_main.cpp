// comm-rms-service: serves "f_comm_rms" with the model of service_model.h
// and the fault injection of its command line (see --help).
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "../common/environment.h"
#include "../common/error_text.h"
#include "../common/options.h"
#include "comm_rms/service_protocol.h"
#include "service_model.h"
#include "service_options.h"
#include "vantorel/host/host.h"

namespace {

constexpr const char* kFacadeName = vantorel::service_protocol::facade_name;

std::atomic<vantorel::host::facade_server*> g_server{nullptr};
std::atomic<bool> g_stopping{false};

extern "C" void on_stop_signal(int) {
  g_stopping.store(true, std::memory_order_release);
  vantorel::host::facade_server* server = g_server.load(std::memory_order_acquire);
  if (server != nullptr) server->stop();
}

// Sleeps in short slices so that a stop signal does not wait for the delay.
void delay(int32_t ms) {
  while (ms > 0 && !g_stopping.load(std::memory_order_acquire)) {
    const int32_t slice = ms < 10 ? ms : 10;
    struct timespec ts = {0, static_cast<long>(slice) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR &&
           !g_stopping.load(std::memory_order_acquire)) {
    }
    ms -= slice;
  }
}

void print_line(const char* text) {
  std::fputs(text, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

class simulated_service final : public vantorel::facade_template {
 public:
  explicit simulated_service(const comm_rms_tools::service_options& options) : options_(options) {}

  comm_rms_tools::service_model& model() { return model_; }
  void attach(vantorel::host::facade_server* server) { server_ = server; }

  void dispatch(LONG msg_id, char* data, UINT length, GEN_IPC_SVC header) override {
    comm_rms_tools::service_reply reply;
    char note[comm_rms_tools::kNoteSize];
    model_.handle(msg_id, data, length, reply, options_.quiet ? nullptr : note, sizeof note);
    // On arrival, so that a delayed reply is known to be pending.
    if (!options_.quiet) print_line(note);
    delay(options_.delay_ms);
    const int rc = vantorel::host::facade_reply(header, reply.bytes, reply.length);
    if (rc != 0) {
      std::fprintf(stdout, "request[%lu] reply not delivered: %s\n", model_.requests_handled(),
                   comm_rms_tools::error_text(-rc).c_str());
      std::fflush(stdout);
    }
    if (options_.exit_after > 0 &&
        model_.requests_handled() >= static_cast<unsigned long>(options_.exit_after)) {
      server_->stop();
    }
  }

 private:
  const comm_rms_tools::service_options& options_;
  comm_rms_tools::service_model model_;
  vantorel::host::facade_server* server_ = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
  comm_rms_tools::service_options options;
  std::string error;
  if (!comm_rms_tools::parse_service_options({argv, argv + argc}, options, error)) {
    std::fprintf(stderr, "comm-rms-service: %s\n(try --help)\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(comm_rms_tools::service_usage().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::fputs(comm_rms_tools::version_line("comm-rms-service").c_str(), stdout);
    return 0;
  }
  // A run directory that cannot work is named before anything is set up.
  const std::string bad_dir = comm_rms_tools::run_directory_problem();
  if (!bad_dir.empty()) {
    std::fprintf(stderr, "comm-rms-service: cannot serve %s: %s\n", kFacadeName, bad_dir.c_str());
    return 1;
  }

  simulated_service service(options);
  bool fits = true;
  for (const auto& forced : options.forced_codes) {
    fits = fits && service.model().force_code(forced.first, forced.second);
  }
  for (const auto& result : options.connect_results) {
    fits = fits && service.model().set_connect_result(result.first.c_str(), result.second);
  }
  if (!fits) {
    std::fprintf(stderr, "comm-rms-service: at most %u --force-code and %u --connect-result\n",
                 comm_rms_tools::kMaxForcedCodes, comm_rms_tools::kMaxConnectResults);
    return 2;
  }

  vantorel::host::facade_server server(service, kFacadeName);
  service.attach(&server);
  int32_t refused = 0;
  server.set_readiness([&options, &refused]() {
    if (refused >= options.refuse_checks) return true;
    ++refused;
    char line[64];
    std::snprintf(line, sizeof line, "readiness check[%d] refused", static_cast<int>(refused));
    if (!options.quiet) print_line(line);
    return false;
  });

  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  const std::string socket_path = comm_rms_tools::shown_socket_path(kFacadeName);
  const int started = server.start();
  if (started != 0) {
    std::fprintf(stderr, "comm-rms-service: %s %s at %s%s%s\n",
                 started == -EADDRINUSE ? "a service is already serving" : "cannot serve",
                 kFacadeName, socket_path.c_str(), started == -EADDRINUSE ? "" : ": ",
                 started == -EADDRINUSE ? "" : comm_rms_tools::error_text(-started).c_str());
    return 1;
  }
  g_server.store(&server, std::memory_order_release);
  if (g_stopping.load(std::memory_order_acquire)) server.stop();

  std::fprintf(stdout, "comm-rms-service: serving %s at %s\n", kFacadeName, socket_path.c_str());
  std::fflush(stdout);

  const int ran = server.run();
  g_server.store(nullptr, std::memory_order_release);
  std::fprintf(stdout, "comm-rms-service: stopped after %lu requests\n",
               service.model().requests_handled());
  std::fflush(stdout);
  if (ran != 0) {
    std::fprintf(stderr, "comm-rms-service: serving failed: %s\n",
                 comm_rms_tools::error_text(-ran).c_str());
    return 1;
  }
  return 0;
}
