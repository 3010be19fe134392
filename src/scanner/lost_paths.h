// The full path of an entry found by the scan: up through the parents its
// folders still name, ending at the volume root, or under "Lost files" where
// a parent cannot be read or no longer names the folder. The handles are the
// folders from the root (or from "Lost files") down to the entry's own.
#pragma once

#include "fs/dir_find.h"
#include "fs/exfat/exfat_find.h"
#include "fs/fat/fat_find.h"
#include "scan/result_lists.h"

#include <string>
#include <string_view>
#include <vector>

namespace kestrova {

struct LostPath {
  std::u16string path;                // "$:\A\B\name" or "$:\Lost files\...\name"
  std::vector<EntryHandle> handles;   // root (or "Lost files") first
  bool underLostFiles = false;
};

// A FAT folder entry found by the scan (its first cluster is the folder):
// each ".." names the parent, whose own parent must still list it.
LostPath LostPathFat(FatContext& ctx, const ScanEntry& folder, const std::u16string& name, std::u16string_view root);
// exFAT keeps no ".." on disk: a folder is placed under its parent only when
// the entry names one (parentLow), else under "Lost files".
LostPath LostPathExfat(ExfatContext& ctx, const ScanEntry& folder, const std::u16string& name,
                       std::u16string_view root);
// NTFS: parents looked up by record number among the lost entries; a parent
// never collected puts the entry directly under "Lost files". Handles are
// record numbers (the NTFS folder handles).
LostPath LostPathNtfs(const EntryList& lost, const ScanEntry& entry, const std::u16string& name,
                      std::u16string_view root);

}  // namespace kestrova
