// What the free-space scan looks for inside a free cluster, per family: on FAT
// a deleted folder's first cluster (its "." and ".." entries) or a fragment of
// a folder; on exFAT a cluster of entry sets; on NTFS a FILE record. What is
// found goes to the lost-files list, each folder or file once.
#pragma once

#include "fs/exfat/exfat_find.h"
#include "fs/fat/fat_find.h"
#include "fs/ntfs/ntfs_files.h"
#include "scan/result_lists.h"

#include <cstdint>
#include <span>
#include <unordered_set>
#include <vector>

namespace kestrova {

// "#%.9u" of a cluster: the name of a folder whose own entry is gone.
std::u16string LostFolderName(std::uint32_t cluster);

// The cluster's first bytes begin with the "." and ".." entries of a FAT folder.
bool IsFatFolderStartBytes(std::span<const std::uint8_t> cluster);
// Leading 32-byte entries of the bytes that look like FAT directory entries
// (a folder fragment has at least one).
std::size_t PlausibleLeadingEntries(std::span<const std::uint8_t> cluster, std::uint32_t lastCluster, bool fat32);

// Adds to the lost list under its lock, unless an entry with the same first
// cluster is listed already (the set mirrors the list's first clusters).
class LostAppender {
 public:
  explicit LostAppender(EntryList& lost);
  bool Add(const ScanEntry& e, const std::u16string& name);
  std::size_t added() const { return added_; }

 private:
  EntryList& lost_;
  std::unordered_set<std::uint32_t> firstClusters_;
  std::size_t added_ = 0;
};

class FatMetadataProbe {
 public:
  FatMetadataProbe(FatContext& context, ResultLists& lists) : ctx(context), lost(lists.lost) {}
  // One free cluster's bytes. reverse: the reverse search, where a folder
  // start also needs a non-empty third entry.
  void ProbeCluster(std::span<const std::uint8_t> bytes, std::uint32_t cluster, bool reverse);

  FatContext& ctx;
  LostAppender lost;

 private:
  void AddFolderStart(std::span<const std::uint8_t> bytes, std::uint32_t cluster);
  void AddFragment(std::uint32_t cluster);
  std::vector<std::uint8_t> sector_;
};

class ExfatMetadataProbe {
 public:
  ExfatMetadataProbe(ExfatContext& context, ResultLists& lists) : ctx(context), lost(lists.lost) {}
  void ProbeCluster(std::span<const std::uint8_t> bytes, std::uint32_t cluster);

  ExfatContext& ctx;
  LostAppender lost;
};

class NtfsRecordProbe {
 public:
  NtfsRecordProbe(NtfsContext& context, ResultLists& lists) : ctx(context), lists_(lists) {}
  // Every sector of the bytes that begins a FILE record with a whole record
  // behind it. batch: kept for the merge (the free-space walk), else appended
  // at once (the reverse search).
  void ProbeRun(std::span<const std::uint8_t> bytes, std::uint64_t firstCluster, std::uint64_t firstSector,
                bool batch);
  // After each block: a block without records merges a waiting batch.
  void EndOfBlock();
  // Merges the batch into the lost-files list without showing a file twice.
  void Flush();
  std::size_t pending() const { return batch_.size(); }
  // The records waiting for their merge, kept across a checkpoint.
  const std::vector<ParsedRecord>& batch() const { return batch_; }
  void RestoreBatch(std::vector<ParsedRecord> batch) { batch_ = std::move(batch); }

  NtfsContext& ctx;

 private:
  ResultLists& lists_;
  std::vector<ParsedRecord> batch_;
  std::vector<std::uint8_t> record_;
  bool blockHadRecord_ = false;
};

}  // namespace kestrova
