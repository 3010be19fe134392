// The explorer's display filter as the readers apply it to every entry they
// return: status flags and name masks.
#pragma once

#include "scan/scan_entry.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova {

namespace show {
inline constexpr std::uint32_t kMasks = 0x001;        // files must match a name mask
inline constexpr std::uint32_t kOverwritten = 0x002;  // kind 2
inline constexpr std::uint32_t kNotDetected = 0x004;  // kind 3
inline constexpr std::uint32_t kEncrypted = 0x008;    // NTFS: flags 0x4000
inline constexpr std::uint32_t kCompressed = 0x010;   // NTFS: flags 0x800
inline constexpr std::uint32_t kDeleted = 0x020;      // deleted, or first cluster free
inline constexpr std::uint32_t kExisting = 0x040;
inline constexpr std::uint32_t kFiles = 0x080;
inline constexpr std::uint32_t kFolders = 0x100;
inline constexpr std::uint32_t kDollarNames = 0x200;  // NTFS: names beginning with '$'
inline constexpr std::uint32_t kEverything = 0xFFFFFFFFu;  // -1: no filter
}  // namespace show

struct DisplayFilter {
  std::uint32_t flags = show::kEverything;
  std::vector<std::u16string> masks;  // split from "*.jpg;*.png"

  // Splits a mask text at ';' and ',' (blanks around patterns removed).
  static std::vector<std::u16string> SplitMasks(std::u16string_view text);
};

// True when the entry is shown. name: the entry's display name; folder: its folder test.
bool PassesFilter(const ScanEntry& e, std::u16string_view name, bool folder, const DisplayFilter& filter);

// The same for NTFS entries, whose state is in the rating, with the three
// NTFS flags. Generated names (RAW entries) are exempt from the '$' rule.
bool PassesNtfsFilter(const ScanEntry& e, std::u16string_view name, bool folder, const DisplayFilter& filter);

}  // namespace kestrova
