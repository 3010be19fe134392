// Listing exFAT folders: entry sets (file, stream extension, names), deleted
// sets included, with the same find contract and virtual folders as the FAT
// reader.
#pragma once

#include "fs/dir_find.h"
#include "fs/exfat/exfat_volume.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <unordered_map>
#include <vector>

namespace kestrova {

// Folders whose stream extension says their clusters are one run: the FAT
// is not kept for them, so a stale entry there would send the listing into
// another file's clusters. Filled as the parents' listings meet them (a
// folder is always reached through its parent); shared by the explorer and
// the scan, hence the lock.
struct ExfatContiguousFolders {
  std::mutex lock;
  std::unordered_map<std::uint32_t, std::uint64_t> bytes;  // first cluster -> the stream's length
  static constexpr std::size_t kMaxFolders = 1u << 18;     // hostile volumes: a bounded memory
};

struct ExfatContext {
  SectorDevice& device;
  ExfatVolume& volume;
  ResultLists* lists = nullptr;
  const SignatureExtensions* extensions = nullptr;
  std::shared_ptr<ExfatContiguousFolders> contiguous = std::make_shared<ExfatContiguousFolders>();
};

struct SetParse {
  std::size_t consumed = 0;  // bytes to go on after (skipped entries included)
  bool valid = false;        // out holds an entry
  bool end = false;          // the directory ended (a 0x00 type or the buffer's end)
};
// Parses the entry set at the start of `entries` (after any entries it skips).
// out.entry.DirEntryOffset() is the file entry's offset within `entries`.
SetParse ParseEntrySet(ExfatContext& ctx, std::span<const std::uint8_t> entries, int mode, FoundEntry& out,
                       std::span<std::uint8_t> scratch);

// The stream extension's flag: the allocation is one contiguous run and the
// FAT entries of its clusters are not kept (drivers leave stale values there).
inline constexpr std::uint8_t kExfatNoFatChainFlag = 0x02;
// Kept in ScanEntry::dataForm of an exFAT entry whose stream has that flag.
inline constexpr std::uint8_t kExfatNoFatChain = 1;

// The cluster after `cluster` in the entry's data: the next one for a
// contiguous file, else the FAT entry (the next one where it says nothing).
std::uint32_t ExfatEntryNext(const ExfatVolume& v, const ScanEntry& e, std::uint32_t cluster);

// The deleted-file percentage (110 without a bitmap, 245 for folders and empty
// files). ownRange: the entry's tail check marked its clusters (value 2).
std::uint8_t ExfatDeletedPercent(const ExfatContext& ctx, const ScanEntry& e, bool ownRange = false);

void LoadExfatDirectory(ExfatContext& ctx, std::uint32_t handle, DirFind& find);

// parent: the folder the synthesised ".." points at (not for the root or in mode 6).
std::unique_ptr<DirFind> ExfatFindFirst(ExfatContext& ctx, EntryHandle folder, int mode, const DisplayFilter& filter,
                                        FoundEntry& out, std::uint32_t parent = 0, bool unfiltered = false);
bool ExfatFindNext(ExfatContext& ctx, DirFind& find, FoundEntry& out);
std::vector<FoundEntry> ListExfatFolder(ExfatContext& ctx, EntryHandle handle, int mode = kFindVerify,
                                        const DisplayFilter& filter = {}, std::uint32_t parent = 0);

}  // namespace kestrova
