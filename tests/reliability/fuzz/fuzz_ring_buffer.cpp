// The byte ring against a plain model: arbitrary capacities and push/pop
// sequences must deliver the same entries, in the same order, with the same
// counters as a deque that evicts its oldest entries to make room.
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "fuzz_check.h"
#include "vantorel/host/host.h"
#include "vantorel/ring_buffer.h"

namespace {

constexpr unsigned int kHeader = 4;  // per-entry overhead of the ring

// Entry bytes up to the capacity, and entries with their headers up to the
// capacity plus the room kept for headers of entries of 32 bytes on average.
struct model {
  unsigned int capacity = 0;
  unsigned int header_room = 0;
  unsigned int used = 0;
  std::deque<std::vector<unsigned char>> entries;
  vantorel::host::ring_counters counts{};

  bool push(const std::vector<unsigned char>& entry) {
    const unsigned int length = static_cast<unsigned int>(entry.size());
    if (capacity == 0 || length > capacity) {
      ++counts.refused;
      return false;
    }
    while (capacity - used < length ||
           used + length + (entries.size() + 1) * kHeader > capacity + header_room) {
      used -= static_cast<unsigned int>(entries.front().size());
      entries.pop_front();
      ++counts.evicted;
    }
    entries.push_back(entry);
    used += length;
    ++counts.pushed;
    return true;
  }
};

void same_counters(const vantorel::put_lib_log_ring_buffer& ring, const model& m) {
  const auto c = vantorel::host::counters_of(ring);
  FUZZ_CHECK(c.pushed == m.counts.pushed);
  FUZZ_CHECK(c.popped == m.counts.popped);
  FUZZ_CHECK(c.evicted == m.counts.evicted);
  FUZZ_CHECK(c.refused == m.counts.refused);
  FUZZ_CHECK(vantorel::host::entry_count(ring) == m.entries.size());
  FUZZ_CHECK(c.pushed == c.popped + c.evicted + vantorel::host::entry_count(ring));
}

}  // namespace

// Input: two bytes of capacity selector, then operations. An even op byte
// pops; an odd one pushes an entry whose length is the next byte (times 4
// when bit 1 of the op is set, to reach entries near the capacity).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const unsigned int selector = static_cast<unsigned int>(data[0] | (data[1] << 8));
  vantorel::put_lib_log_ring_buffer ring;
  model m;
  // Selector 0xFFFF leaves the ring without storage: every push is refused.
  if (selector != 0xFFFF) {
    const unsigned int capacity = kHeader + 1 + selector % 2048;
    FUZZ_CHECK(ring.create_ring_buffer(capacity) == 0);
    FUZZ_CHECK(ring.create_ring_buffer(capacity) != 0);  // storage is given once
    m.capacity = capacity;
    m.header_room = kHeader + capacity / 32 * kHeader;
  }
  size_t pos = 2;
  uint32_t serial = 0;
  std::vector<unsigned char> entry;
  std::vector<unsigned char> popped;
  while (pos < size) {
    const uint8_t op = data[pos++];
    if ((op & 1) == 0) {
      const int rc = ring.pop_data(popped);
      if (m.entries.empty()) {
        FUZZ_CHECK(rc != 0);
      } else {
        FUZZ_CHECK(rc == 0);
        FUZZ_CHECK(popped == m.entries.front());
        m.used -= static_cast<unsigned int>(m.entries.front().size());
        m.entries.pop_front();
        ++m.counts.popped;
      }
    } else {
      unsigned int length = pos < size ? data[pos++] : 0;
      if ((op & 2) != 0) length *= 4;
      // Distinct content per entry, so a misplaced or torn entry shows.
      entry.resize(length);
      ++serial;
      for (unsigned int i = 0; i < length; ++i) {
        entry[i] = static_cast<unsigned char>((serial * 131u + i) & 0xFF);
      }
      unsigned char none = 0;
      const bool stored = m.push(entry);
      const int rc = ring.push_data(length == 0 ? &none : entry.data(), length);
      FUZZ_CHECK((rc == 0) == stored);
    }
    same_counters(ring, m);
  }
  // Whatever is left drains in order.
  while (!m.entries.empty()) {
    FUZZ_CHECK(ring.pop_data(popped) == 0);
    FUZZ_CHECK(popped == m.entries.front());
    m.entries.pop_front();
  }
  FUZZ_CHECK(ring.pop_data(popped) != 0);
  return 0;
}
