// Message channel: the client side (bmc_mc_client) and the base class of
// every facade that a process serves (facade_template).
#pragma once

#include <cstdint>

#include "vantorel/base_types.h"
#include "vantorel/platform_export.h"

// Header of one message as it reaches a facade's dispatch.
struct gen_ipc_msghdr {
  uint32_t msg_id;
  uint32_t length;    // request bytes
  uint32_t sequence;  // matches the reply to its request
  int32_t peer;       // the channel's handle of the sender
};
typedef gen_ipc_msghdr GEN_IPC_SVC;

// Written into the reply's first word when an exchange fails in the channel
// (service gone, timeout, malformed reply), so that a lost request never
// reads as success (0) or as the library's own failure (1).
constexpr RETCODE BMC_MC_CHANNEL_FAILURE = -2;

namespace vantorel {

class VANTOREL_PLATFORM_API bmc_mc_client {
 public:
  // The client for `facade_name`, or null when no such facade is served.
  // The pointer stays valid for the life of the process.
  static bmc_mc_client* bmc_mc_get_client(const char* facade_name);
  // 1 when the facade is present and answers; anything else: not ready.
  static long bmc_mc_check_facade(const char* facade_name, long flags);
  // One request/reply exchange. On return the reply lies in `reply` (at most
  // *reply_capacity bytes); on failure its first word is BMC_MC_CHANNEL_FAILURE.
  // Safe to call from many threads at once.
  long bmc_mc_send_sync_message(long flags, long msg_id, char* request, unsigned int request_length,
                                char* reply, unsigned int* reply_capacity, const char* facade_name);

 protected:
  // Only the platform creates clients.
  bmc_mc_client() = default;
  ~bmc_mc_client() = default;
  bmc_mc_client(const bmc_mc_client&) = delete;
  bmc_mc_client& operator=(const bmc_mc_client&) = delete;
};

// Base of a facade: messages addressed to it reach dispatch.
class VANTOREL_PLATFORM_API facade_template {
 public:
  facade_template();
  virtual ~facade_template();
  facade_template(const facade_template&) = delete;
  facade_template& operator=(const facade_template&) = delete;

  virtual void dispatch(LONG msg_id, char* data, UINT length, GEN_IPC_SVC header) = 0;
};

}  // namespace vantorel
