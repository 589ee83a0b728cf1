// Rendering the connection history of 1000 records (sixteen lines each) into
// a stream whose own writing costs next to nothing, so that the figure is the
// work of turning records into text.
#include <cstdio>

#include "bench_support.h"
#include "log/connection_history.h"

namespace {

constexpr int kRecords = 1000;

vantorel::connection_history history;
FILE* sink = nullptr;

// Records of the usual shape: a url and a path, every other record also
// completed by an unregister call.
void fill_history() {
  for (int i = 0; i < kRecords; ++i) {
    COMM_RMS_REGISTER_SERVER_INFO reg{};
    std::snprintf(reg.url, sizeof reg.url, "vnc://192.0.2.%d:5900", i % 250);
    std::snprintf(reg.server_pathname, sizeof reg.server_pathname, "/run/panel/server-%d", i);
    history.append(reg, 0);
    if (i % 2 == 0) {
      COMM_RMS_UNREGISTER_SERVER_INFO unreg{};
      std::snprintf(unreg.server_pathname, sizeof unreg.server_pathname, "/run/panel/server-%d", i);
      unreg.is_terminated = 1;
      history.complete(unreg, 0);
    }
  }
}

void render_ours(benchmark::State& state) {
  for (auto _ : state) {
    history.render(sink);
    std::fflush(sink);
  }
}

}  // namespace

int main(int argc, char** argv) {
  sink = std::fopen("/dev/null", "w");
  if (sink == nullptr) {
    std::perror("/dev/null");
    return 1;
  }
  fill_history();
  comm_rms_bench::second_thread other;
  benchmark::RegisterBenchmark("history/render_1000", render_ours);
  const int rc = comm_rms_bench::run(argc, argv);
  std::fclose(sink);
  return rc;
}
