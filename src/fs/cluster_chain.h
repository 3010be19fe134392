// Copying the data of FAT entries: existing files along their cluster chain
// (consecutive clusters in one read), deleted files as contiguous clusters
// from their first cluster. The same paths fill memory for previews and the
// hex view.
#pragma once

#include "fs/fat/fat_find.h"
#include "fs/output_sink.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace kestrova {

struct WriteResult {
  bool complete = false;      // the whole size was written
  bool chainFallback = false; // the chain could not be followed: copied as contiguous clusters
};

// What the writer needs of a FAT or exFAT volume: its clusters and the
// successor of a cluster as the writer follows chains (kFatEndOfChain at the end).
struct ClusterChainView {
  SectorDevice& device;
  std::uint32_t bytesPerCluster = 512;
  std::uint32_t lastCluster = 0;
  std::uint32_t chainEnd = kFatChainEnd;  // a first cluster from here on cannot start a chain
  std::function<std::uint32_t(std::uint32_t)> next;
};
ClusterChainView ChainViewOf(FatContext& ctx);

// Writes the entry's data to the sink. The entry's chainFallback and
// clusterInUse are updated when its chain cannot be followed.
WriteResult WriteFatFile(const ClusterChainView& view, ScanEntry& entry, OutputSink& sink, const RecoveryControl& control);
inline WriteResult WriteFatFile(FatContext& ctx, ScanEntry& entry, OutputSink& sink, const RecoveryControl& control) {
  return WriteFatFile(ChainViewOf(ctx), entry, sink, control);
}

// Files of at most this size are loaded for previews.
inline constexpr std::uint64_t kMaxLoadIntoMemory = 0x1400000;

// The file (or its first `length` bytes) in a buffer of whole clusters;
// nothing for a file above 20 MiB.
std::optional<std::vector<std::uint8_t>> LoadIntoMemory(const ClusterChainView& view, const ScanEntry& entry,
                                                       std::uint64_t length = 0);
inline std::optional<std::vector<std::uint8_t>> LoadIntoMemory(FatContext& ctx, const ScanEntry& entry,
                                                              std::uint64_t length = 0) {
  return LoadIntoMemory(ChainViewOf(ctx), entry, length);
}

// `length` bytes from `offset` of the file (clusters before the offset are not read).
std::vector<std::uint8_t> ReadFatRange(const ClusterChainView& view, const ScanEntry& entry, std::uint64_t offset,
                                       std::uint64_t length);
inline std::vector<std::uint8_t> ReadFatRange(FatContext& ctx, const ScanEntry& entry, std::uint64_t offset,
                                              std::uint64_t length) {
  return ReadFatRange(ChainViewOf(ctx), entry, offset, length);
}

}  // namespace kestrova
