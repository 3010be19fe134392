// Names and partition-type kind bytes of the file systems the identification knows.
#pragma once

#include "common/fs_type.h"
#include "device/drive_entry.h"

#include <cstdint>
#include <string_view>

namespace kestrova {

// "FAT12", "FAT16", "FAT32", "NTFS", "EXFAT", "RAW (OTHER)"; empty for None and Detect.
std::u16string_view FsTypeName(FsType type);

inline constexpr std::uint8_t kKindExfat = 0x07;
inline constexpr std::uint8_t kKindFat32 = 0x0B;
inline constexpr std::uint8_t kKindFat12 = 0x01;
inline constexpr std::uint8_t kKindFat16 = 0x06;
inline constexpr std::uint8_t kKindNtfs = 0x07;
inline constexpr std::uint8_t kKindHpfs = 0x07;
inline constexpr std::uint8_t kKindLinux = 0x83;
inline constexpr std::uint8_t kKindSwap = 0x82;

// Whether identification recognised a file system in the entry (its kind is
// set only then; the name of an unrecognised one is only a display text).
inline bool IsRecognised(const DriveEntry& e) { return e.fsKind != 0; }

}  // namespace kestrova
