// Content checks by extension: whether the first sector of a candidate cluster
// still holds the start of a file of the type its name says. The FAT and exFAT
// readers use them on deleted files (and the FAT32 high-half search on every
// candidate). One table serves both readers; the size is 64-bit throughout and
// 32-bit comparisons fail when the size does not fit in 32 bits.
#pragma once

#include "device/sector_device.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

namespace kestrova {

// The entry being examined, as a check sees it.
struct CheckedFile {
  std::uint64_t size = 0;
  bool tailVerified = false;  // set by a tail check whose tail matched
};

// Marks the clusters of a contiguous file whose tail matched (value 2 in the
// reader's cluster map). Null: nothing is marked.
using ClusterRangeMarker = std::function<void(std::uint64_t firstCluster, std::uint64_t clusters)>;

struct CheckContext {
  SectorDevice& device;
  ClusterRangeMarker markRange;
};

struct ContentRule;
using ContentCheck = const ContentRule*;

// The check for a file name (by the part after the last dot, any case); null
// when the name or extension is empty or has no check.
ContentCheck ContentCheckFor(std::u16string_view name);

// Reads the candidate cluster's first sector into buffer (at least one sector)
// and tests it; a tail check may then set file.tailVerified. True: accepted.
bool RunContentCheck(ContentCheck check, CheckContext& ctx, std::uint64_t cluster, CheckedFile& file,
                     std::span<std::uint8_t> buffer);

// The header tests alone on a sector already read (for tests and fuzzing).
bool HeaderMatches(std::u16string_view extension, std::span<const std::uint8_t> sector, std::uint64_t size);

}  // namespace kestrova
