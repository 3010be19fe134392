// The folders that exist only in the results model: "Lost files", "RAW files"
// (with one subfolder per file type) and "Rebuild". Each is a folder entry
// whose firstCluster holds its marker.
#pragma once

#include "scan/scan_entry.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrova {

bool IsVirtualMarker(std::uint32_t marker);
// Localised folder name ("Lost files", ...); the RAW type subfolder is named by its type.
std::u16string VirtualFolderName(std::uint32_t marker, std::u16string_view typeName = {});
// The Properties description of a folder entry: a virtual folder's own, else "File folder".
std::u16string FolderDescription(const ScanEntry& e);

// The explorer's root of a volume: "X:\" with its letter, "$:\" without one.
std::u16string VolumeRoot(char letter);
// "Lost files\" etc. under the root; a RAW type folder sits inside "RAW files\".
std::u16string VirtualFolderPath(char letter, std::uint32_t marker, std::u16string_view typeName = {});

// The entry shown for a virtual folder in the root listing (kind 7) and its
// ".." item (kind 8; record -1,-1 for Lost files, -2,-1 for Rebuild).
ScanEntry MakeVirtualFolderEntry(std::uint32_t marker);
ScanEntry MakeVirtualParentEntry(std::uint32_t marker);
inline constexpr std::uint64_t kLostFilesParentRecord = 0xFFFFFFFFFFFFFFFFull;
inline constexpr std::uint64_t kRebuildParentRecord = 0xFFFFFFFFFFFFFFFEull;

}  // namespace kestrova
