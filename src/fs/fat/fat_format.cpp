#include "fs/fat/fat_format.h"

namespace kestrova {

namespace {
bool IsPowerOfTwo(std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }
}  // namespace

bool FatBootSector::GeometrySane() const {
  // A sector that only carries the type string falls through to the next test.
  return bytesPerSector >= 512 && bytesPerSector <= 4096 && IsPowerOfTwo(bytesPerSector) &&
         IsPowerOfTwo(sectorsPerCluster);
}

std::optional<FatBootSector> ParseFatBootSector(std::span<const std::uint8_t> b) {
  if (b.size() < kFatCompareBytes) return std::nullopt;
  FatBootSector s;
  s.bytesPerSector = LoadLe16(b, 11);
  s.sectorsPerCluster = LoadU8(b, 13);
  s.reservedSectors = LoadLe16(b, 14);
  s.fatCount = LoadU8(b, 16);
  s.rootEntries = LoadLe16(b, 17);
  s.totalSectors16 = LoadLe16(b, 19);
  s.sectorsPerFat16 = LoadLe16(b, 22);
  s.hiddenSectors = LoadLe32(b, kFatHiddenSectorsOffset);
  s.totalSectors32 = LoadLe32(b, 32);
  s.serial16 = LoadLe32(b, 39);
  for (std::size_t i = 0; i < 11; ++i) s.label16[i] = LoadU8(b, 43 + i);
  s.fat12String = BytesEqual(b, 54, "FAT12");
  s.fat16String = BytesEqual(b, 54, "FAT16");
  s.hpfsString = BytesEqual(b, 54, "HPFS");
  s.sectorsPerFat32 = LoadLe32(b, 36);
  s.rootCluster = LoadLe32(b, 44);
  s.fsInfoSector = LoadLe16(b, 48);
  s.backupBootSector = LoadLe16(b, 50);
  s.serial32 = LoadLe32(b, kFat32SerialOffset);
  for (std::size_t i = 0; i < 11; ++i) s.label32[i] = LoadU8(b, 71 + i);
  s.fat32String = BytesEqual(b, 82, "FAT32");
  return s;
}

}  // namespace kestrova
