// Byte ring buffer of whole entries, used by the log store.
#pragma once

#include <cstdint>
#include <vector>

#include "vantorel/platform_export.h"

namespace vantorel {

// Entries are delivered whole and in FIFO order. A push that does not fit
// evicts the oldest entries (the newest lines are the ones worth keeping);
// an entry larger than the whole capacity is refused. Entries of 32 bytes
// or more on average get the whole capacity; smaller ones are bounded by
// the room kept for their length headers. Not thread-safe: the
// owner serialises every call. No allocation after create_ring_buffer.
class VANTOREL_PLATFORM_API put_lib_log_ring_buffer {
 public:
  put_lib_log_ring_buffer() noexcept;
  ~put_lib_log_ring_buffer();
  put_lib_log_ring_buffer(const put_lib_log_ring_buffer&) = delete;
  put_lib_log_ring_buffer& operator=(const put_lib_log_ring_buffer&) = delete;

  // Gives the buffer room for `capacity` bytes of entries (their length
  // headers are kept on top). 0 on success.
  int create_ring_buffer(unsigned int capacity) noexcept;
  // Stores `length` bytes as one entry. 0 when stored, -1 when refused.
  int push_data(void* data, unsigned int length) noexcept;
  // 0: `entry` now holds the oldest entry, which has left the buffer.
  // Any other value: there was none. Only `entry` may allocate.
  int pop_data(std::vector<unsigned char>& entry);

 private:
  // The host platform's accounting (vantorel/host/host.h) reads the state.
  friend struct ring_buffer_access;
  struct counters {
    uint64_t pushed, popped, evicted, refused;
  };
  unsigned char* storage_;
  unsigned int capacity_;      // bytes of entries, headers not counted
  unsigned int storage_size_;  // capacity_ and room for the headers
  unsigned int head_;          // offset of the oldest entry's header
  unsigned int used_;          // bytes of storage in use, headers included
  unsigned int entry_bytes_;   // bytes of entries, at most capacity_
  unsigned int entries_;
  counters counters_;
};

}  // namespace vantorel
