// Listing FAT folders entry by entry, deleted entries and long names included,
// with the verification of deleted entries (content checks, the FAT32
// high-half search), the recoverability rating, the display filter, and the
// virtual folders of the results model.
#pragma once

#include "fs/dir_find.h"
#include "fs/fat/fat_volume.h"
#include "scan/display_filter.h"
#include "scan/entry_ops.h"
#include "scan/result_lists.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrova {

// What a listing works with. lists may be null (no note cache, no virtual folders).
struct FatContext {
  SectorDevice& device;
  FatVolume& volume;
  ResultLists* lists = nullptr;
  const SignatureExtensions* extensions = nullptr;
  bool treeLoaded = true;  // the explorer has loaded the folder tree: ratings are computed
};

// Reads a directory into find.dir: the fixed root (16 KiB), a chain, or, when
// the chain is gone, as far as probing finds plausible entries.
void LoadDirectory(FatContext& ctx, std::uint32_t handle, DirFind& find);

// The first entry the filter accepts, or nothing (an empty or unreadable folder).
std::unique_ptr<DirFind> FindFirst(FatContext& ctx, EntryHandle folder, int mode, const DisplayFilter& filter,
                                   FoundEntry& out, bool unfiltered = false);
bool FindNext(FatContext& ctx, DirFind& find, FoundEntry& out);

// 0..100, 110 unknown, 120 for folders.
std::uint8_t RecoverabilityPercent(const FatContext& ctx, const ScanEntry& e);

// Every entry of a folder (a convenience over FindFirst/FindNext).
std::vector<FoundEntry> ListFolder(FatContext& ctx, EntryHandle handle, int mode = kFindVerify,
                                   const DisplayFilter& filter = {});

// Path resolution: the clusters of the folders walked, root first. Codes as
// the explorer expects them: the deepest folder's cluster, -1 when the path is
// not on this volume, -10 when a component cannot be opened.
struct ResolvedPath {
  std::int64_t result = -1;
  std::vector<std::uint32_t> clusters;
};
ResolvedPath ResolvePath(FatContext& ctx, std::u16string_view rootText, std::u16string_view path);

// The entry (in its parent folder) of the folder that starts at `cluster`.
std::optional<FoundEntry> FindEntryByCluster(FatContext& ctx, std::uint32_t cluster, std::u16string_view wantedName = {});

}  // namespace kestrova
