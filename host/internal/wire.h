// Wire format of the message channel. Internal to the host platform (and its
// tests); both ends run on the same machine, so words are in host order.
//
// Every message is one SOCK_SEQPACKET packet: a wire_header followed by
// `length` body bytes (at most kMaxMessageBytes).
//   client -> server  kRequest  msg_id, sequence, body = request bytes
//   server -> client  kReply    msg_id and sequence of the request, body = reply bytes
//   client -> server  kProbe    sequence; no body
//   server -> client  kProbeAnswer  sequence; msg_id 1 = ready, 0 = not ready
// A reply is matched to its request by msg_id and sequence, carries at least
// the 4-byte result word and exactly `length` body bytes. A connection
// carries one exchange at a time; a packet that breaks these rules closes
// the connection (for the client: a channel failure).
#pragma once

#include <cstdint>

namespace vantorel {
namespace host {
namespace wire {

constexpr uint32_t kMagic = 0x564D4331;  // "VMC1"

enum type : uint32_t {
  kRequest = 1,
  kReply = 2,
  kProbe = 3,
  kProbeAnswer = 4,
};

struct header {
  uint32_t magic;
  uint32_t type;
  uint32_t msg_id;
  uint32_t sequence;
  uint32_t length;  // body bytes that follow the header
};
static_assert(sizeof(header) == 20, "wire header is five words");

}  // namespace wire
}  // namespace host
}  // namespace vantorel
