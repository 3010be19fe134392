#include "fs/exfat/exfat_format.h"

namespace kestrova {

std::optional<ExfatBootSector> ParseExfatBootSector(std::span<const std::uint8_t> b) {
  if (b.size() < 112) return std::nullopt;
  ExfatBootSector s;
  s.signature = BytesEqual(b, 3, "EXFAT");
  s.volumeLength = LoadLe64(b, 72);
  s.fatOffset = LoadLe32(b, 80);
  s.fatLength = LoadLe32(b, 84);
  s.heapOffset = LoadLe32(b, 88);
  s.clusterCount = LoadLe32(b, 92);
  s.rootCluster = LoadLe32(b, 96);
  s.serial = LoadLe32(b, 100);
  s.bytesPerSectorShift = LoadU8(b, 108);
  s.sectorsPerClusterShift = LoadU8(b, 109);
  s.fatCount = LoadU8(b, 110);
  return s;
}

}  // namespace kestrova
