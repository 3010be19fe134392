// File-system identifiers shared by every layer; windows and threads branch on them.
#pragma once

#include <cstdint>

namespace kestrova {

enum class FsType : std::uint8_t {
  None = 0,
  Fat12 = 1,
  Fat16 = 2,
  Fat32 = 3,
  Ntfs = 4,
  Exfat = 5,
  RawOther = 6,
  Detect = 7,  // request only: detect, then apply the drive settings; never a volume's type
};

inline bool IsFatFamily(FsType t) { return t == FsType::Fat12 || t == FsType::Fat16 || t == FsType::Fat32; }

}  // namespace kestrova
