#include "scan/allocation_map.h"

#include "common/activity.h"

#include <algorithm>
#include <atomic>
#include <new>

namespace kestrova {

bool AllocationMap::Create(std::uint64_t lastCluster) {
  ActivityMark activity(Fn::AllocationMapCreate);
  Release();
  const std::uint64_t length = lastCluster / 2 + 1;
  if (length > (std::uint64_t{1} << 40)) return false;
  try {
    bytes_.assign(static_cast<std::size_t>(length), 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// The scan marks clusters while the explorer and the search read the map:
// each byte is read and or-ed as one atomic access (its two nibbles belong to
// neighbouring clusters).
void AllocationMap::Mark(std::uint64_t cluster, std::uint8_t value) {
  const std::uint64_t at = cluster / 2;
  if (at >= bytes_.size()) return;
  std::atomic_ref<std::uint8_t>(bytes_[at]).fetch_or(static_cast<std::uint8_t>((value & 0x0F) << ((cluster & 1) ? 4 : 0)),
                                                      std::memory_order_relaxed);
}

std::uint8_t AllocationMap::Get(std::uint64_t cluster) const {
  const std::uint64_t at = cluster / 2;
  if (at >= bytes_.size()) return 0;
  const std::uint8_t byte =
      std::atomic_ref<std::uint8_t>(const_cast<std::uint8_t&>(bytes_[at])).load(std::memory_order_relaxed);
  return static_cast<std::uint8_t>((byte >> ((cluster & 1) ? 4 : 0)) & 0x0F);
}

bool AllocationMap::Load(std::span<const std::uint8_t> stored) {
  ActivityMark activity(Fn::AllocationMapLoad);
  if (stored.size() != bytes_.size()) return false;
  std::copy(stored.begin(), stored.end(), bytes_.begin());
  return true;
}

}  // namespace kestrova
