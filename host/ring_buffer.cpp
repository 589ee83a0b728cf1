// Byte ring of whole entries. Each entry is stored as a 4-byte length header
// followed by its bytes; both may wrap around the end of the storage. The
// capacity counts entry bytes only: the storage has room for the headers on
// top, enough for entries of 32 bytes on average (a trace line is longer),
// so that such entries get the whole capacity.
#include <cstdlib>
#include <cstring>

#include "vantorel/ring_buffer.h"

#include "vantorel/host/host.h"

namespace vantorel {

namespace {
constexpr unsigned int kHeaderBytes = sizeof(uint32_t);
constexpr unsigned int kAverageEntry = 32;

// An offset past the end taken back to the start. Every sum wrapped here is
// below twice the capacity, so one subtraction does what a division would
// (a division per step is a noticeable share of a push, made under the
// owner's lock).
unsigned int wrap(uint64_t offset, unsigned int capacity) {
  return static_cast<unsigned int>(offset >= capacity ? offset - capacity : offset);
}
}  // namespace

put_lib_log_ring_buffer::put_lib_log_ring_buffer() noexcept
    : storage_(nullptr),
      capacity_(0),
      storage_size_(0),
      head_(0),
      used_(0),
      entry_bytes_(0),
      entries_(0),
      counters_{} {}

put_lib_log_ring_buffer::~put_lib_log_ring_buffer() {
  std::free(storage_);
}

int put_lib_log_ring_buffer::create_ring_buffer(unsigned int capacity) noexcept {
  const uint64_t size =
      uint64_t{capacity} + kHeaderBytes + uint64_t{capacity / kAverageEntry} * kHeaderBytes;
  if (storage_ != nullptr || capacity == 0 || size > UINT32_MAX) return -1;
  storage_ = static_cast<unsigned char*>(std::malloc(size));
  if (storage_ == nullptr) return -1;
  capacity_ = capacity;
  storage_size_ = static_cast<unsigned int>(size);
  return 0;
}

// Copies that may wrap around the end. The usual copy does not: one memcpy
// of the whole length (for a header, a single 4-byte move).
static void copy_in(unsigned char* ring, unsigned int capacity, unsigned int offset,
                    const unsigned char* src, unsigned int n) {
  if (n == 0) return;  // `src` may be null then
  if (n <= capacity - offset) {
    std::memcpy(ring + offset, src, n);
    return;
  }
  const unsigned int first = capacity - offset;
  std::memcpy(ring + offset, src, first);
  std::memcpy(ring, src + first, n - first);
}

static void copy_out(const unsigned char* ring, unsigned int capacity, unsigned int offset,
                     unsigned char* dst, unsigned int n) {
  if (n == 0) return;  // `dst` may be null then
  if (n <= capacity - offset) {
    std::memcpy(dst, ring + offset, n);
    return;
  }
  const unsigned int first = capacity - offset;
  std::memcpy(dst, ring + offset, first);
  std::memcpy(dst + first, ring, n - first);
}

int put_lib_log_ring_buffer::push_data(void* data, unsigned int length) noexcept {
  if (storage_ == nullptr || (data == nullptr && length != 0) || length > capacity_) {
    ++counters_.refused;
    return -1;
  }
  const unsigned int need = length + kHeaderBytes;
  while (capacity_ - entry_bytes_ < length || storage_size_ - used_ < need) {
    uint32_t oldest = 0;
    copy_out(storage_, storage_size_, head_, reinterpret_cast<unsigned char*>(&oldest),
             kHeaderBytes);
    head_ = wrap(uint64_t{head_} + kHeaderBytes + oldest, storage_size_);
    used_ -= kHeaderBytes + oldest;
    entry_bytes_ -= oldest;
    --entries_;
    ++counters_.evicted;
  }
  const unsigned int tail = wrap(uint64_t{head_} + used_, storage_size_);
  const uint32_t header = length;
  copy_in(storage_, storage_size_, tail, reinterpret_cast<const unsigned char*>(&header),
          kHeaderBytes);
  copy_in(storage_, storage_size_, wrap(uint64_t{tail} + kHeaderBytes, storage_size_),
          static_cast<const unsigned char*>(data), length);
  used_ += need;
  entry_bytes_ += length;
  ++entries_;
  ++counters_.pushed;
  return 0;
}

int put_lib_log_ring_buffer::pop_data(std::vector<unsigned char>& entry) {
  if (entries_ == 0) return -1;
  uint32_t length = 0;
  copy_out(storage_, storage_size_, head_, reinterpret_cast<unsigned char*>(&length), kHeaderBytes);
  entry.resize(length);  // the only step that may throw; nothing has changed yet
  copy_out(storage_, storage_size_, wrap(uint64_t{head_} + kHeaderBytes, storage_size_),
           entry.data(), length);
  head_ = wrap(uint64_t{head_} + kHeaderBytes + length, storage_size_);
  used_ -= kHeaderBytes + length;
  entry_bytes_ -= length;
  --entries_;
  ++counters_.popped;
  return 0;
}

struct ring_buffer_access {
  static host::ring_counters counters(const put_lib_log_ring_buffer& ring) {
    const auto& c = ring.counters_;
    return {c.pushed, c.popped, c.evicted, c.refused};
  }
  static unsigned int entries(const put_lib_log_ring_buffer& ring) { return ring.entries_; }
};

host::ring_counters host::counters_of(const put_lib_log_ring_buffer& ring) noexcept {
  return ring_buffer_access::counters(ring);
}

unsigned int host::entry_count(const put_lib_log_ring_buffer& ring) noexcept {
  return ring_buffer_access::entries(ring);
}

}  // namespace vantorel
