// FAT directory entries: the 32-byte short entry and long-name parts, the
// plausibility test used when probing a directory whose chain is gone, short
// name formatting, long-name assembly and the folder-start test.
#pragma once

#include "fs/fat/fat_volume.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kestrova {

inline constexpr std::size_t kDirEntrySize = 32;
inline constexpr std::uint8_t kAttrLongName = 0x0F;
inline constexpr std::uint8_t kAttrVolume = 0x08;
inline constexpr std::size_t kMaxLongName = 255;

inline bool IsDeletedMarker(std::uint8_t b) { return b == 0xE5 || b == 0x05; }

bool IsPlausibleEntry(std::span<const std::uint8_t> entry);
// Non-zero, day and month non-zero, month at most 12.
bool IsValidFatDate(std::uint16_t date);

// "NAME.EXT" without padding; 0x08/0x10 in byte 12 lower-case the name/extension.
std::u16string FormatShortName(std::span<const std::uint8_t> entry, bool applyCase = true);

// The long name held by `count` long-name parts directly before the short entry
// at `shortPos` (the part nearest the short entry first), at most 255
// characters; stops at a 0x0000 or 0xFFFF character. Empty when the parts do
// not fit in the buffer.
std::u16string AssembleLongName(std::span<const std::uint8_t> dir, std::size_t shortPos, std::size_t count);

// The first sector of the cluster begins with "." and ".." entries (a
// volume-label first entry instead needs zero cluster words and size).
bool IsFolderStart(SectorDevice& device, const FatVolume& v, std::uint32_t cluster, std::span<std::uint8_t> sector);

// The label among the first 16 entries of a root directory.
std::optional<std::u16string> ReadVolumeLabel(std::span<const std::uint8_t> root);

}  // namespace kestrova
