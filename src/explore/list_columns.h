// The five columns of the explorer's list as texts and sort keys, shared by
// the front ends so both show a folder the same way.
#pragma once

#include "common/fs_type.h"
#include "scan/scan_entry.h"

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova {

enum class ListColumn { Name = 0, Size, Type, Date, Rating };
inline constexpr int kListColumns = 5;

// Empty for folders; the whole-number size in the largest of B, kB, MB, GB
// that keeps it at least 1 ("12 kB"). FAT sizes are 32-bit.
std::u16string ListSizeText(const ScanEntry& e, FsType fs, bool folder);
// The extension in upper case; empty for folders.
std::u16string ListTypeText(std::u16string_view name, bool folder);
// "N/A" for RAW entries, nothing for navigation and virtual folders; FAT
// "%u-%.2u-%.2u", NTFS the FILETIME's date, exFAT with hour and minute.
std::u16string ListDateText(const ScanEntry& e, FsType fs);
// The rating the strip shows (200 as 100, 255 as 110); nothing for NTFS
// folders and navigation or virtual items.
std::optional<int> ShownRating(const ScanEntry& e, FsType fs, bool folder);

// Negative, zero or positive as a sorts before, with or after b by the column.
int CompareByColumn(const ScanEntry& a, std::u16string_view aName, bool aFolder, const ScanEntry& b,
                    std::u16string_view bName, bool bFolder, ListColumn column, FsType fs);

// One row of a list to sort; the entry and the name must outlive the call.
struct ListSortItem {
  const ScanEntry* entry = nullptr;
  std::u16string_view name;
  bool folder = false;
};

// The positions of the items in the order CompareByColumn gives (stable, so
// equal items keep their order in both directions). Each key, the case-folded
// name or extension included, is worked out once per item rather than on
// every comparison, which is what keeps a million names to a fraction of a
// second.
std::vector<std::size_t> SortedOrder(std::span<const ListSortItem> items, ListColumn column, bool ascending,
                                     FsType fs);

}  // namespace kestrova
