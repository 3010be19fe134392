// The data path of the cluster-chain file systems (FAT12/16/32 and exFAT):
// existing files along their chain (consecutive clusters in one read),
// deleted files as contiguous clusters from their first cluster, or, when
// defragmenting, as the clusters from the first one that no other file holds
// (a file written into the gaps between others). The same
// paths fill memory for previews and the hex view. Each reader supplies a
// view of its clusters and how it follows a chain.
#pragma once

#include "device/sector_device.h"
#include "fs/fs_reader.h"
#include "fs/output_sink.h"
#include "scan/allocation_map.h"
#include "scan/scan_entry.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace kestrova {

// The allocation-map bits of a cluster where a found file (by its entry,
// header or text) begins.
inline constexpr std::uint8_t kOtherFileStart = (cluster_mark::kFoundStart | cluster_mark::kTextStart) & ~cluster_mark::kAllocated;

// What `next` returns at the end of a chain: above every cluster of any
// volume (exFAT numbers clusters up to 0xFFFFFFF6, so FAT's own end value
// 0x0FFFFFFF could name a real cluster there).
inline constexpr std::uint32_t kEndOfChain = 0xFFFFFFFF;

// What the writer needs of a FAT or exFAT volume: its clusters and the
// successor of a cluster as the writer follows chains (kEndOfChain at the end).
struct ClusterChainView {
  SectorDevice& device;
  std::uint32_t bytesPerCluster = 512;
  std::uint32_t lastCluster = 0;
  std::uint32_t chainEnd = 0x0FFFFFF8;  // a first cluster from here on cannot start a chain
  std::function<std::uint32_t(std::uint32_t)> next;
  // True for a cluster that belongs to something else: allocated in the
  // table or bitmap, or the first cluster of another found file. Empty: none
  // is known (a damaged volume), and defragmenting copies contiguously.
  std::function<bool(std::uint32_t)> taken;
};

// Writes the entry's data to the sink. The entry's chainFallback and
// clusterInUse are updated when its chain cannot be followed.
// With `defragment`, a deleted file steps over the clusters the view calls
// taken (its own first cluster is always read).
WriteResult WriteFatFile(const ClusterChainView& view, ScanEntry& entry, OutputSink& sink, const RecoveryControl& control,
                         bool defragment = false);

// Files of at most this size are loaded for previews.
inline constexpr std::uint64_t kMaxLoadIntoMemory = 0x1400000;

// The file (or its first `length` bytes) in a buffer of whole clusters;
// nothing for a file above 20 MiB.
std::optional<std::vector<std::uint8_t>> LoadIntoMemory(const ClusterChainView& view, const ScanEntry& entry,
                                                       std::uint64_t length = 0);

// `length` bytes from `offset` of the file (clusters before the offset are not read).
std::vector<std::uint8_t> ReadFatRange(const ClusterChainView& view, const ScanEntry& entry, std::uint64_t offset,
                                       std::uint64_t length);

}  // namespace kestrova
