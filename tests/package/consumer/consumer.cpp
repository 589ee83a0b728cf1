// A program of a library user, built against the installed tree only.
#include <comm_rms/comm_rms.h>
#include <vantorel/host/host.h>

#include <cstdio>
#include <cstring>

int main() {
  // Creating the facade and tracing need no running service; a request would
  // wait for one, so none is sent.
  const RETCODE initial = comm_rms_initial();
  comm_rms_operation_log(1, COMM_RMS_LEVEL_INFORMATION, __LINE__, "int main()", "consumer %d", 1);
  const bool same_facade =
      vantorel::comm_rms_facade::get_instance() == vantorel::comm_rms_facade::get_instance();
  const bool run_dir = std::strlen(vantorel::host::run_directory()) > 0;
  std::printf("comm_rms consumer: initial %d, facade %s, run directory %s, record %zu bytes\n",
              static_cast<int>(initial), same_facade ? "one" : "several", run_dir ? "set" : "none",
              sizeof(COMM_RMS_REGISTER_SERVER_INFO));
  return initial == 0 && same_facade && run_dir ? 0 : 1;
}
