#include "scan/allocation_map.h"

#include "common/activity.h"

#include <algorithm>
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

void AllocationMap::Mark(std::uint64_t cluster, std::uint8_t value) {
  const std::uint64_t at = cluster / 2;
  if (at >= bytes_.size()) return;
  bytes_[at] |= static_cast<std::uint8_t>((value & 0x0F) << ((cluster & 1) ? 4 : 0));
}

std::uint8_t AllocationMap::Get(std::uint64_t cluster) const {
  const std::uint64_t at = cluster / 2;
  if (at >= bytes_.size()) return 0;
  return static_cast<std::uint8_t>((bytes_[at] >> ((cluster & 1) ? 4 : 0)) & 0x0F);
}

bool AllocationMap::Load(std::span<const std::uint8_t> stored) {
  ActivityMark activity(Fn::AllocationMapLoad);
  if (stored.size() != bytes_.size()) return false;
  std::copy(stored.begin(), stored.end(), bytes_.begin());
  return true;
}

}  // namespace kestrova
