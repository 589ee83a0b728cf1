// Message channel. Until the socket transport exists no facade is served,
// and the channel says so honestly.
#include <cstring>

#include "vantorel/ipc.h"

namespace vantorel {

bmc_mc_client* bmc_mc_client::bmc_mc_get_client(const char* /*facade_name*/) { return nullptr; }

long bmc_mc_client::bmc_mc_check_facade(const char* /*facade_name*/, long /*flags*/) { return 0; }

long bmc_mc_client::bmc_mc_send_sync_message(long /*flags*/, long /*msg_id*/, char* /*request*/,
                                             unsigned int /*request_length*/, char* reply,
                                             unsigned int* reply_capacity,
                                             const char* /*facade_name*/) {
  if (reply != nullptr && reply_capacity != nullptr && *reply_capacity >= sizeof(RETCODE)) {
    const RETCODE failure = BMC_MC_CHANNEL_FAILURE;
    std::memcpy(reply, &failure, sizeof failure);
  }
  return -1;
}

facade_template::facade_template() = default;
facade_template::~facade_template() = default;

}  // namespace vantorel
