#include "volume/cluster_defaults.h"

#include <algorithm>
#include <span>

namespace kestrova {
namespace {

struct Step {
  std::uint64_t below;  // volume size in 512-byte sectors
  std::uint32_t sectors;  // cluster size in 512-byte sectors
};

constexpr std::array<Step, 5> kFat16{{{262144, 4}, {524288, 8}, {1048576, 16}, {2097152, 32}, {4194304, 64}}};
constexpr std::uint32_t kFat16Largest = 128;
constexpr std::array<Step, 4> kFat32{{{131072, 1}, {262144, 2}, {524288, 4}, {16777216, 8}}};
constexpr std::uint32_t kFat32Largest = 32;

constexpr std::uint64_t kTiB = 1ull << 40;

std::uint32_t Lookup(std::span<const Step> steps, std::uint32_t largest, std::uint64_t units) {
  for (const Step& s : steps)
    if (units < s.below) return s.sectors;
  return largest;
}

std::uint32_t NtfsClusterBytes(std::uint64_t bytes) {
  if (bytes <= 16 * kTiB) return 4096;
  if (bytes <= 32 * kTiB) return 8192;
  if (bytes <= 64 * kTiB) return 16384;
  if (bytes <= 128 * kTiB) return 32768;
  return 65536;
}

// Cluster bytes to device sectors, at least one.
std::uint32_t ToSectors(std::uint64_t bytes, std::uint32_t sectorSize) {
  return static_cast<std::uint32_t>(std::max<std::uint64_t>(1, bytes / sectorSize));
}

}  // namespace

std::uint32_t DefaultSectorsPerCluster(FsType type, std::uint64_t sectors, std::uint32_t sectorSize) {
  if (sectorSize == 0) sectorSize = 512;
  const std::uint64_t bytes = sectors > (~0ull / sectorSize) ? ~0ull : sectors * sectorSize;
  const std::uint64_t units = bytes / 512;
  switch (type) {
    case FsType::Fat12: return ToSectors(8ull * 512, sectorSize);
    case FsType::Fat16: return ToSectors(std::uint64_t{Lookup(kFat16, kFat16Largest, units)} * 512, sectorSize);
    case FsType::Fat32: return ToSectors(std::uint64_t{Lookup(kFat32, kFat32Largest, units)} * 512, sectorSize);
    case FsType::Ntfs: return ToSectors(NtfsClusterBytes(bytes), sectorSize);
    default: return 1;
  }
}

ClusterDefaults ClusterDefaultsFor(std::uint64_t sectors, std::uint32_t sectorSize) {
  return {DefaultSectorsPerCluster(FsType::Ntfs, sectors, sectorSize),
          DefaultSectorsPerCluster(FsType::Fat32, sectors, sectorSize),
          DefaultSectorsPerCluster(FsType::Fat16, sectors, sectorSize),
          DefaultSectorsPerCluster(FsType::Fat12, sectors, sectorSize)};
}

}  // namespace kestrova
